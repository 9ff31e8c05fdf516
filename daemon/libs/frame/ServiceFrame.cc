#include "ServiceFrame.h"

#include <easylogging++.h>

#include <csignal>
#include <cstdlib>

#include "Shell.h"

namespace VESK::frame {

namespace {
// The stop signal waiting to be logged, 0 when none. Written by the handler,
// read and cleared by the program's own thread.
volatile std::sig_atomic_t g_pendingSignal = 0;
}  // namespace

void StartUp(int argc, char** argv, void (*signalHandler)(int), void (*rolloutHandler)(const char*, std::size_t),
             void (*loadConfig)(const std::string&)) {
  el::Loggers::addFlag(el::LoggingFlag::StrictLogFileSizeCheck);
  // The library's setter hooks SIGFPE, SIGILL, SIGSEGV and SIGINT. SIGTERM,
  // what service managers send, takes the same orderly path as SIGINT.
  el::Helpers::setCrashHandler(signalHandler);
  std::signal(SIGTERM, signalHandler);

  el::Configurations conf("log.conf", true);
  el::Loggers::setDefaultConfigurations(conf, true);
  el::Helpers::installPreRollOutCallback(rolloutHandler);

  loadConfig("app.conf");
  if (argc > 1) {
    LOG(INFO) << "Load Global Config : " << argv[1];
    loadConfig(argv[1]);
  }
}

void HandleSignal(int signal, StopFunction stop) {
  stop();
  if (signal == SIGINT || signal == SIGTERM) {
    g_pendingSignal = signal;
    return;
  }
  el::Helpers::logCrashReason(signal, true, el::Level::Fatal, "default");
  el::Loggers::flushAll();
  el::Helpers::crashAbort(signal);
}

void LogPendingSignal() {
  int signal = g_pendingSignal;
  if (signal == 0) return;
  g_pendingSignal = 0;
  LOG(INFO) << "Signal Code = " << signal;
}

void RollOutLogFile(const char* filename) {
  std::string name = filename;
  std::string command = "mv " + ShellQuote(name) + " " + ShellQuote(name + ".bak");
  // The exit status is not acted on: the library truncates the file next,
  // whatever happened, and there is no one to report to but this very log.
  int rc = std::system(command.c_str());
  (void)rc;
}

}  // namespace VESK::frame
