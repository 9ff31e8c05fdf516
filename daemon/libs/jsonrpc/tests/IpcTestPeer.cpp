// pemrix_ipc_test_peer <endpoint> <control.json>: the acquisition service stand-in, answering "ReadParameter"
// from a file the test rewrites at will: {"mode": "ok"|"error"|"array"|"values_array"|"silent" (holds every
// request), "values": {"<device>": {"<tag>": <value>, ...}, ...}}
#include <nanomsg/nn.h>
#include <signal.h>
#include <sys/stat.h>

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
    const json* c = &Control();
    for (; c->value("mode", "ok") == "silent" && !g_stop; c = &Control())
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::string mode = c->value("mode", "ok");
    response = {{"jsonrpc", "2.0"}, {"id", request["id"]}, {"result", {{"values", json::object()}}}};
    if (mode == "error") {
      response.erase("result");
      response["error"] = {{"code", -32000}, {"message", "device offline"}};
    } else if (mode == "array" || mode == "values_array") {
      (mode == "array" ? response["result"] : response["result"]["values"]) = json::array({1, 2});
    } else {
      static const json kNone = json::object();
      const json& devices = c->contains("values") ? (*c)["values"] : kNone;
      const std::string device = request["params"].value("device_id", "");
      const json& known = devices.is_object() && devices.contains(device) ? devices[device] : kNone;
      json& out = response["result"]["values"];
      for (const auto& tag : request["params"]["parameters"]) {
        if (!tag.is_string() || !known.is_object()) continue;
        auto it = known.find(tag.get<std::string>());
        if (it != known.end()) out[tag.get<std::string>()] = *it;
      }
    }
    return true;
  }
  // Parsed again only when the test has renamed a new file into place, so
  // that a large control file does not bound the rate of answers.
  const json& Control() {
    struct stat now {};
    if (stat(control.c_str(), &now) != 0 || now.st_ino != seen.st_ino || now.st_mtim.tv_nsec != seen.st_mtim.tv_nsec ||
        now.st_mtim.tv_sec != seen.st_mtim.tv_sec) {
      seen = now;
      cached = json::parse(std::ifstream(control), nullptr, false);
      if (!cached.is_object()) cached = json::object();
    }
    return cached;
  }
  std::string control;
  struct stat seen {};
  json cached = json::object();
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
