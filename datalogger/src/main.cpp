#include <easylogging++.h>
#include <nanomsg/nn.h>

#include "AppConfig.h"
#include "DBClient.h"
#include "DataLogger.h"
#include "Readiness.h"
#include "ServiceFrame.h"

VESK::DataLogger g_datalogger;

void SignalHandle(int signal) {
  VESK::frame::HandleSignal(signal, [] { g_datalogger.Stop(); });
}

void rolloutHandler(const char* filename, std::size_t /*size*/) { VESK::frame::RollOutLogFile(filename); }

static void LoadAppConfig(const std::string& path) { VESK::AppConfig::Instance.LoadConfig(path); }

int main(int argc, char** argv) {
  const VESK::frame::Program program{"Pemrix.DataLogger",
                                     "The data logger: polls measurements and writes them to InfluxDB.", SignalHandle,
                                     rolloutHandler, LoadAppConfig};
  int status = 0;
  const VESK::frame::StartMode mode = VESK::frame::StartUp(argc, argv, program, status);
  if (mode == VESK::frame::StartMode::Exit) return status;
  if (mode == VESK::frame::StartMode::CheckConfig) {
    g_datalogger.Initial(VESK::AppConfig::Instance._projectPath);  // opens no socket
    g_datalogger.Destory();
    return VESK::frame::CheckConfigStatus();
  }
  // Without a database every point read would be dropped: a failed unit the
  // service manager shows (and retries) is better than a running one.
  if (g_datalogger.Initial(VESK::AppConfig::Instance._projectPath) && g_datalogger.Client()->Driver()) {
    VESK::frame::RunReady([] { g_datalogger.Run(); });
  } else {
    LOG(ERROR) << "No usable database in " << VESK::AppConfig::Instance._projectPath
               << "/data_logger.json : the data logger stops";
    status = 1;
  }
  g_datalogger.Destory();
  VESK::frame::LogPendingSignal();
  nn_term();
  return status;
}
