// pemrix_ipc_test_peer <endpoint> <control.json>: the acquisition service stand-in, answering "ReadParameter"
// from a file the test rewrites at will: {"mode": "ok"|"error"|"array"|"values_array"|"silent" (holds every
// request), "values": {"<device>": {"<tag>": <value>, ...}, ...}}
#include <nanomsg/nn.h>
#include <signal.h>

#include <atomic>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "JsonRpcServer.h"

using nlohmann::json;
static std::atomic<bool> g_stop{false};

struct ReadStub : VESK::JsonRpcStub {
  explicit ReadStub(std::string control) : control(std::move(control)) {}
  bool Invoke(json& request, json& response) override {
    json c;
    for (; (c = Control()).value("mode", "ok") == "silent" && !g_stop;)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::string mode = c.value("mode", "ok");
    response = {{"jsonrpc", "2.0"}, {"id", request["id"]}, {"result", {{"values", json::object()}}}};
    if (mode == "error") {
      response.erase("result");
      response["error"] = {{"code", -32000}, {"message", "device offline"}};
    } else if (mode == "array" || mode == "values_array") {
      (mode == "array" ? response["result"] : response["result"]["values"]) = json::array({1, 2});
    } else {
      const json& known = c["values"][request["params"].value("device_id", "")];
      for (const auto& tag : request["params"]["parameters"])
        if (tag.is_string() && known.is_object() && known.contains(tag.get<std::string>()))
          response["result"]["values"][tag.get<std::string>()] = known[tag.get<std::string>()];
    }
    return true;
  }
  json Control() const {
    json c = json::parse(std::ifstream(control), nullptr, false);
    return c.is_object() ? c : json::object();
  }
  std::string control;
};

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (int s : {SIGTERM, SIGINT}) sigaddset(&stopSignals, s);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);  // the worker inherits the mask
  VESK::JsonRpcServer server(argv[1]);
  server.Add(std::make_shared<ReadStub>(argv[2]));
  server.Start();
  int signal = 0;
  sigwait(&stopSignals, &signal);
  g_stop = true;  // releases a silent stub
  // Terminates the library under the running worker, as a program's exit
  // path may: the worker has to notice and end, or Stop would wait for good.
  nn_term();
  server.Stop();
  return 0;
}
