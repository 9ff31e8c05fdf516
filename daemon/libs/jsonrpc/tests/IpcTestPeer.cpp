// The second process of the IPC tests and the acquisition service stand-in of
// the data logger tests: a JSON-RPC server whose default stub answers
// "ReadParameter" from a control file the test rewrites at will.
//   pemrix_ipc_test_peer <endpoint> <control.json>
// control.json: {"mode": "ok" | "error" | "array" | "values_array" | "silent",
//                "values": {"<device>": {"<tag>": <value>, ...}, ...}}
// "silent" holds every request unanswered until the mode changes. On SIGTERM
// or SIGINT it terminates the library, stops the server and exits 0.
#include <nanomsg/nn.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "JsonRpcServer.h"

namespace {

std::atomic<bool> g_stop{false};

class ReadStub : public VESK::JsonRpcStub {
 public:
  explicit ReadStub(std::string control) : _control(std::move(control)) {}

  bool Invoke(nlohmann::json& request, nlohmann::json& response) override {
    nlohmann::json control = Control();
    while (control.value("mode", "ok") == "silent" && !g_stop) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      control = Control();
    }
    const std::string mode = control.value("mode", "ok");
    const auto& params = request["params"];
    response = {{"jsonrpc", "2.0"}, {"id", request["id"]}};
    if (mode == "error") {
      response["error"] = {{"code", -32000}, {"message", "device offline"}};
    } else if (mode == "array") {
      response["result"] = nlohmann::json::array({1, 2});
    } else if (mode == "values_array") {
      response["result"] = {{"values", nlohmann::json::array({1, 2})}};
    } else {
      nlohmann::json values = nlohmann::json::object();
      const auto& known = control["values"][params.value("device_id", "")];
      for (const auto& tag : params["parameters"]) {
        if (tag.is_string() && known.is_object() && known.contains(tag.get<std::string>()))
          values[tag.get<std::string>()] = known[tag.get<std::string>()];
      }
      response["result"] = {{"values", values}};
    }
    return true;
  }

 private:
  nlohmann::json Control() const {
    std::ifstream in(_control);
    nlohmann::json control = nlohmann::json::parse(in, nullptr, false);
    return control.is_object() ? control : nlohmann::json::object();
  }
  std::string _control;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);  // the worker inherits the mask
  VESK::JsonRpcServer server(argv[1]);
  server.Add(std::make_shared<ReadStub>(argv[2]));
  server.Start();
  int signal = 0;
  sigwait(&stopSignals, &signal);
  g_stop = true;  // releases a silent stub
  // Terminate the library under the running worker, as a program's exit path
  // may: the worker has to notice and end, or Stop would wait for good.
  nn_term();
  server.Stop();
  return 0;
}
