// Feeds arbitrary bytes to the JSON-RPC server's message handling, as a peer
// would send them over the reply socket. Whatever arrives, the server must
// answer with one JSON text (no crash, no exception, no unbounded recursion).
// Its stubs echo parts of the request back, one of them cut at a byte count
// that may split a UTF-8 sequence, so replies a stub cannot serialise are
// fuzzed too.
#include <easylogging++.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "JsonRpcServer.h"

namespace {

using json = nlohmann::json;

// "Echo.*" answers the params; "Cut.*" answers the first half of the bytes
// of a string param; notifications do nothing.
class EchoStub : public VESK::JsonRpcStub {
 public:
  explicit EchoStub(const std::string& name) : JsonRpcStub(name) {}
  bool Invoke(json& request, json& response) override {
    json result = request["params"];
    if (name == "Cut" && result.is_string()) {
      const std::string& text = result.get_ref<const std::string&>();
      result = text.substr(0, text.size() / 2);
    }
    response = {{"jsonrpc", "2.0"}, {"id", request["id"]}, {"result", std::move(result)}};
    return true;
  }
};

// Never bound: no loop runs, the messages come straight from the fuzzer.
struct Harness {
  Harness() {
    // Every bad input logs a line; the fuzzer wants speed, not logs.
    el::Loggers::reconfigureAllLoggers(el::ConfigurationType::Enabled, "false");
    server.Add(std::make_shared<EchoStub>("Echo"));
    server.Add(std::make_shared<EchoStub>("Cut"));
  }
  VESK::JsonRpcServer server{"inproc://unused"};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness harness;
  const std::string reply = harness.server.HandleMessage(reinterpret_cast<const char*>(data), size);
  // The reply must itself be one JSON text a client can read.
  if (!json::accept(reply)) std::abort();
  return 0;
}
