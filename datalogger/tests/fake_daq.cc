// Acquisition service stand-in for the data logger tests: a JSON-RPC server
// answering "ReadParameter" from a control file the test rewrites at will.
//   pemrix_fake_daq <endpoint> <control.json>
// control.json: {"mode": "ok" | "error" | "array" | "values_array" | "silent",
//                "values": {"<device>": {"<tag>": <value>, ...}, ...}}
// "silent" holds every request unanswered until the mode changes.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <thread>

#include "JsonRpcServer.h"

namespace {

std::atomic<bool> g_stop{false};

nlohmann::json ReadControl(const std::string& path) {
  std::ifstream in(path);
  nlohmann::json control = nlohmann::json::parse(in, nullptr, false);
  return control.is_object() ? control : nlohmann::json::object();
}

class ReadStub : public VESK::JsonRpcStub {
 public:
  explicit ReadStub(std::string control) : _control(std::move(control)) {}

  bool Invoke(nlohmann::json& request, nlohmann::json& response) override {
    nlohmann::json control = ReadControl(_control);
    while (control.value("mode", "ok") == "silent" && !g_stop) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      control = ReadControl(_control);
    }
    response = {{"jsonrpc", "2.0"}, {"id", request["id"]}};
    const std::string mode = control.value("mode", "ok");
    const auto& params = request["params"];
    std::cout << "ReadParameter " << params.dump() << " mode " << mode << std::endl;
    if (mode == "error") {
      response["error"] = {{"code", -32000}, {"message", "device offline"}};
    } else if (mode == "array") {
      response["result"] = nlohmann::json::array({1, 2});
    } else if (mode == "values_array") {
      response["result"] = {{"values", nlohmann::json::array({1, 2})}};
    } else {
      nlohmann::json values = nlohmann::json::object();
      const auto device = params.value("device_id", "");
      const auto& known = control["values"][device];
      for (const auto& tag : params["parameters"]) {
        if (tag.is_string() && known.is_object() && known.contains(tag.get<std::string>()))
          values[tag.get<std::string>()] = known[tag.get<std::string>()];
      }
      response["result"] = {{"values", values}};
    }
    return true;
  }

 private:
  std::string _control;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: pemrix_fake_daq <endpoint> <control.json>\n";
    return 2;
  }
  signal(SIGTERM, [](int) { g_stop = true; });
  signal(SIGINT, [](int) { g_stop = true; });
  VESK::JsonRpcServer server(argv[1]);
  server.Add(std::make_shared<ReadStub>(argv[2]));
  server.Start();
  while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  server.Stop();
  return 0;
}
