// Whatever bytes a peer sends, the JSON-RPC server answers one JSON text.
// "Cut.*" answers half its string param, maybe splitting a UTF-8 sequence.
#include <easylogging++.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "JsonRpcServer.h"

namespace {

using json = nlohmann::json;

struct EchoStub : VESK::JsonRpcStub {  // answers the params
  explicit EchoStub(const std::string& name) : JsonRpcStub(name) {}
  bool Invoke(json& request, json& response) override {
    json result = request["params"];
    if (name == "Cut" && result.is_string())
      result = result.get<std::string>().substr(0, result.get_ref<std::string&>().size() / 2);
    response = {{"jsonrpc", "2.0"}, {"id", request["id"]}, {"result", std::move(result)}};
    return true;
  }
};

// Never bound: no loop runs, the messages come straight from the fuzzer.
struct Harness {
  Harness() {
    el::Loggers::reconfigureAllLoggers(el::ConfigurationType::Enabled, "false");  // speed, not logs
    server.Add(std::make_shared<EchoStub>("Echo"));
    server.Add(std::make_shared<EchoStub>("Cut"));
  }
  VESK::JsonRpcServer server{"inproc://unused"};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness harness;
  if (!json::accept(harness.server.HandleMessage(reinterpret_cast<const char*>(data), size))) std::abort();
  return 0;
}
