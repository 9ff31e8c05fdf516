// Acquisition-service stand-in: pemrix-daqsvc <configuration file>
//
// Reads "log.conf" and, when present, "app.conf" from the working directory,
// then the configuration file named as the first argument on top (see
// DaqConfig.h and platform/daqsvc/README.md). Runs until SIGINT or SIGTERM;
// exits 1 when the configuration cannot be used, the API endpoint is taken
// or no device starts.
#include <easylogging++.h>
#include <nanomsg/nn.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "DaqService.h"
#include "ServiceFrame.h"
#include "plinth/OPCUA_ClientChannelDriver.h"

namespace {

VESK::daqsvc::DaqService g_service;
VESK::daqsvc::DaqConfig g_config;
bool g_configFailed = false;

void SignalHandle(int signal) {
  VESK::frame::HandleSignal(signal, [] { g_service.Stop(); });
}

void rolloutHandler(const char* filename, std::size_t /*size*/) { VESK::frame::RollOutLogFile(filename); }

void LoadConfig(const std::string& path) {
  // The working directory's app.conf is optional here: the configuration
  // proper is the file given on the command line.
  if (path == "app.conf" && access(path.c_str(), F_OK) != 0) return;
  if (!g_config.LoadFile(path)) g_configFailed = true;
}

std::string ProgramDir() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (n <= 0) return ".";
  std::string path(buffer, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/'));
}

}  // namespace

int main(int argc, char** argv) {
  int status = 0;
  const VESK::frame::Program program{"pemrix-daqsvc", "Acquisition-service stand-in.", SignalHandle, rolloutHandler,
                                     LoadConfig};
  const VESK::frame::StartMode mode = VESK::frame::StartUp(argc, argv, program, status);
  if (mode == VESK::frame::StartMode::Exit) return status;
  if (mode == VESK::frame::StartMode::CheckConfig) {
    // Channel settings belong to the channel driver, which checks them when
    // created (a real server is connected only later).
    for (const auto& device : g_config.devices)
      VESK::DAQ::OPCUA_ClientChannelDriver::Create(device.channel, device.baseDir);
    return VESK::frame::CheckConfigStatus();
  }
  if (argc < 2) LOG(ERROR) << "Usage: " << argv[0] << " <configuration file>";
  status = 1;
  if (argc >= 2 && !g_configFailed) {
    g_service.Configure(g_config, ProgramDir());
    if (g_service.Initial()) {
      g_service.Run();
      status = 0;
    }
    g_service.Shutdown();
  }
  VESK::frame::LogPendingSignal();
  LOG(INFO) << "DAQ Service Exit = " << status;
  nn_term();
  return status;
}
