#include "ServiceFrame.h"

#include <easylogging++.h>
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>

#include "BoundedJson.h"
#include "ConfigReader.h"
#include "Shell.h"

namespace VESK::frame {

namespace {
// The stop signal waiting to be logged, 0 when none. Written by the handler,
// read and cleared by the program's own thread.
volatile std::sig_atomic_t g_pendingSignal = 0;
}  // namespace

namespace {

struct Options {
  bool help = false, version = false, checkConfig = false;
  std::string configFile, bad;
};

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      o.help = true;
    } else if (arg == "--version") {
      o.version = true;
    } else if (arg == "--check-config") {
      o.checkConfig = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      if (o.bad.empty()) o.bad = arg;
    } else if (o.configFile.empty()) {
      o.configFile = arg;
    }
  }
  return o;
}

void PrintUsage(std::ostream& out, const Program& program) {
  out << "Usage: " << program.name << " [--check-config] [configuration file]\n"
      << program.purpose << "\n\n"
      << "Reads log.conf and app.conf from the working directory, then the\n"
      << "configuration file, when given, on top of app.conf.\n\n"
      << "  --check-config  load every configuration file, report each problem on\n"
      << "                  standard output and exit 0 (usable) or 1; connects to nothing\n"
      << "  --version       print the version and exit\n"
      << "  --help          print this text and exit\n";
}

// log.conf when it can be read; otherwise (and for a check) the library's
// defaults on standard output, without the library's complaint about a
// missing file. A check prints only its findings, as plain "LEVEL text" lines.
void ConfigureLogging(bool check) {
  // Read as any configuration file: a FIFO or a huge file in its place must
  // not hold the program or its memory.
  std::string text, error;
  const FileRead read = check ? FileRead::Missing : ReadBoundedFile("log.conf", text, error, kConfigLimits.maxBytes);
  if (read == FileRead::Ok) {
    el::Configurations conf;
    conf.parseFromText(text);
    conf.setRemainingToDefault();
    el::Loggers::setDefaultConfigurations(conf, true);
    return;
  }
  el::Configurations conf;
  conf.setToDefault();
  conf.setGlobally(el::ConfigurationType::ToFile, "false");
  conf.setGlobally(el::ConfigurationType::ToStandardOutput, "true");
  if (check) {
    conf.setGlobally(el::ConfigurationType::Format, "%level %msg");
    for (el::Level level : {el::Level::Info, el::Level::Debug, el::Level::Trace, el::Level::Verbose})
      conf.set(level, el::ConfigurationType::Enabled, "false");
  }
  el::Loggers::setDefaultConfigurations(conf, true);
  if (read == FileRead::Refused) LOG(ERROR) << "'log.conf' : " << error;
}

// SIGHUP (a closed terminal, an operator used to other daemons) would end
// the process silently, and a service manager takes that as a clean exit.
// Settings are read at start only, so it is logged and ignored: blocked in
// every thread (threads inherit the mask, so this runs before any exists)
// and taken by one waiting thread, which may log. The short shell commands
// the programs run inherit the mask, which does them no harm.
void IgnoreHangUp() {
  static sigset_t hangUp;
  sigemptyset(&hangUp);
  sigaddset(&hangUp, SIGHUP);
  if (pthread_sigmask(SIG_BLOCK, &hangUp, nullptr) != 0) return;
  std::thread([] {
    for (int signal = 0;;) {
      if (sigwait(&hangUp, &signal) == 0)
        LOG(INFO) << "Signal Code = " << signal << " (SIGHUP) ignored: settings are read at start only, restart the "
                  << "service to apply changes";
    }
  }).detach();
}

}  // namespace

StartMode StartUp(int argc, char** argv, const Program& program, int& exitStatus) {
  const Options options = ParseOptions(argc, argv);
  exitStatus = 0;
  if (!options.bad.empty()) {
    std::cerr << program.name << ": unknown option " << options.bad << "\n";
    PrintUsage(std::cerr, program);
    exitStatus = 2;
    return StartMode::Exit;
  }
  if (options.help || options.version) {
    if (options.help) PrintUsage(std::cout, program);
    if (options.version) std::cout << program.name << " " << PEMRIX_VERSION << "\n";
    return StartMode::Exit;
  }

  el::Loggers::addFlag(el::LoggingFlag::StrictLogFileSizeCheck);
  // The library's setter hooks SIGFPE, SIGILL, SIGSEGV and SIGINT. SIGTERM,
  // what service managers send, takes the same orderly path as SIGINT.
  el::Helpers::setCrashHandler(program.signalHandler);
  std::signal(SIGTERM, program.signalHandler);

  ConfigureLogging(options.checkConfig);
  if (!options.checkConfig) IgnoreHangUp();
  el::Helpers::installPreRollOutCallback(program.rolloutHandler);

  program.loadConfig("app.conf");
  if (!options.configFile.empty()) {
    LOG(INFO) << "Load Global Config : " << options.configFile;
    program.loadConfig(options.configFile);
  }
  return options.checkConfig ? StartMode::CheckConfig : StartMode::Run;
}

int CheckConfigStatus() {
  el::Loggers::flushAll();
  const int problems = ConfigErrorCount(), warnings = ConfigWarningCount();
  if (problems == 0) {
    std::cout << "Configuration OK";
    if (warnings > 0) std::cout << ", " << warnings << (warnings == 1 ? " warning" : " warnings");
    std::cout << std::endl;
    return 0;
  }
  std::cout << "Configuration has " << problems << (problems == 1 ? " problem" : " problems") << std::endl;
  return 1;
}

namespace {
void WriteCrashLine(int signal) {
  const char* name = signal == SIGSEGV   ? "SIGSEGV"
                     : signal == SIGABRT ? "SIGABRT"
                     : signal == SIGFPE  ? "SIGFPE"
                     : signal == SIGILL  ? "SIGILL"
                     : signal == SIGBUS  ? "SIGBUS"
                                         : "a fatal signal";
  char line[64] = "FATAL Crashed on ";
  size_t n = strlen(line);
  for (const char* c = name; *c && n < sizeof(line) - 1; ++c) line[n++] = *c;
  line[n++] = '\n';
  ssize_t rc = write(STDERR_FILENO, line, n);
  (void)rc;
}
}  // namespace

void HandleSignal(int signal, StopFunction stop) {
  stop();
  if (signal == SIGINT || signal == SIGTERM) {
    g_pendingSignal = signal;
    return;
  }
  // A crash inside a log call or inside malloc leaves a lock held, and the
  // report below would wait on it forever: the process would hang instead of
  // ending and never be restarted. The alarm's default action ends it
  // regardless, and the line written first with write(2) alone, which takes
  // no lock, says why it ended even when the full report cannot follow.
  alarm(5);
  WriteCrashLine(signal);
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
