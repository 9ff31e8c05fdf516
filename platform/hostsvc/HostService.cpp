// Host-service stand-in. Binds the host API endpoint (key "host_api" of its
// app.conf, the same key and default as the daemon's) and answers "Restart".
// By default it only logs the request; with "restart_command" set in its
// configuration it runs that command through the shell and answers with the
// command's exit status. Stops on SIGINT or SIGTERM.
#include <easylogging++.h>
#include <nanomsg/nn.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "BoundedJson.h"
#include "ConfigLoader.h"
#include "JsonRpcServer.h"
#include "ServiceFrame.h"

namespace {

using json = nlohmann::json;

std::string g_configDir;
std::string g_hostApi = "ipc:///tmp/vesk.pemrix.host.api.ipc";
std::string g_restartCommand;
std::atomic<bool> g_stop{false};
// Written by the signal handler (async-signal-safe), so main sleeps on it
// instead of waking to look at the flag.
const int g_wake = eventfd(0, EFD_CLOEXEC);

void LoadConfig(const std::string& path) {
  using VESK::frame::PathRule;
  VESK::frame::LoadConfigFile(path, g_configDir,
                              {
                                  {"host_api", &g_hostApi, PathRule::Verbatim, "Host API = ", {}},
                                  {"restart_command", &g_restartCommand, PathRule::Verbatim, "Restart Command = ", {}},
                              });
}

void SignalHandle(int signal) {
  VESK::frame::HandleSignal(signal, [] {
    g_stop = true;
    const uint64_t one = 1;
    if (g_wake >= 0) (void)!write(g_wake, &one, sizeof one);
  });
}

void rolloutHandler(const char* filename, std::size_t /*size*/) { VESK::frame::RollOutLogFile(filename); }

// Handles every method without an object prefix; runs on the server's worker.
class HostStub : public VESK::JsonRpcStub {
 public:
  HostStub() : VESK::JsonRpcStub("") {}

  bool Invoke(json& request, json& response) override {
    response = json::object();
    response["jsonrpc"] = "2.0";
    response["id"] = request["id"];
    json result;
    if (Handle(request, result)) {
      response["result"] = result;
    } else {
      response["error"] = {{"code", -32601}, {"message", "Method not found."}};
    }
    return true;
  }

  bool Invoke(json& request) override {
    json result;
    return Handle(request, result);
  }

 private:
  // result: 0 when nothing was run, else the command's exit status as the
  // shell reports it.
  static bool Handle(const json& request, json& result) {
    const std::string method = request.value("method", "");
    if (method != "Restart") {
      LOG(ERROR) << "Unknown method: " << VESK::frame::LogExcerpt(method);
      return false;
    }
    LOG(INFO) << "Restart requested: " << VESK::frame::LogExcerpt(request.dump());
    if (g_restartCommand.empty()) {
      result = 0;
      return true;
    }
    LOG(INFO) << "Run: " << g_restartCommand;
    int status = std::system(g_restartCommand.c_str());
    LOG(INFO) << "Restart command status = " << status;
    result = status;
    return true;
  }
};

}  // namespace

int main(int argc, char** argv) {
  int status = 0;
  const VESK::frame::Program program{"pemrix-hostsvc", "Host-service stand-in: answers \"Restart\".", SignalHandle,
                                     rolloutHandler, LoadConfig};
  const VESK::frame::StartMode mode = VESK::frame::StartUp(argc, argv, program, status);
  if (mode == VESK::frame::StartMode::Exit) return status;
  if (mode == VESK::frame::StartMode::CheckConfig) return VESK::frame::CheckConfigStatus();
  {
    VESK::JsonRpcServer server(g_hostApi);
    server.Add(std::make_shared<HostStub>());
    // Bound here so a taken endpoint ends the program with a failure status
    // instead of an idle process that answers nothing.
    if (server.OpenSocket()) {
      server.Start();
      pollfd wake{g_wake, POLLIN, 0};
      while (!g_stop) poll(&wake, g_wake >= 0 ? 1 : 0, g_wake >= 0 ? -1 : 100);
      VESK::frame::LogPendingSignal();
      server.Stop();
    } else {
      status = 1;
    }
  }
  nn_term();
  return status;
}
