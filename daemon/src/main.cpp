#include <easylogging++.h>
#include <mosquitto.h>
#include <nanomsg/nn.h>

#include "AppConfig.h"
#include "DaemonService.h"
#include "Readiness.h"
#include "ServiceFrame.h"

VESK::DaemonService g_service;

void SignalHandle(int signal) {
  VESK::frame::HandleSignal(signal, [] { g_service.Stop(); });
}

void rolloutHandler(const char* filename, std::size_t /*size*/) { VESK::frame::RollOutLogFile(filename); }

static void LoadAppConfig(const std::string& path) { VESK::AppConfig::Instance.LoadConfig(path); }

int main(int argc, char** argv) {
  const VESK::frame::Program program{"Pemrix.Daemon", "The gateway daemon: status and remote management over MQTT.",
                                     SignalHandle, rolloutHandler, LoadAppConfig};
  int status = 0;
  const VESK::frame::StartMode mode = VESK::frame::StartUp(argc, argv, program, status);
  if (mode == VESK::frame::StartMode::Exit) return status;
  if (mode == VESK::frame::StartMode::CheckConfig) {
    g_service.Initial();  // reads every file; connecting is left to Run
    g_service.Destory();
    return VESK::frame::CheckConfigStatus();
  }
  mosquitto_lib_init();
  // Without usable MQTT settings the daemon cannot do its one job; a service
  // manager restarting it in a loop is better than an idle process.
  if (g_service.Initial()) {
    VESK::frame::RunReady([] { g_service.Run(); });
  } else {
    status = 1;
  }
  g_service.Destory();
  VESK::frame::LogPendingSignal();
  nn_term();
  mosquitto_lib_cleanup();
  return status;
}
