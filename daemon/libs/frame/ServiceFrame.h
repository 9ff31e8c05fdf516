#pragma once
#include <cstddef>
#include <string>

namespace VESK::frame {

// A program's orderly stop: sets the service's stop flag and nothing else.
// Called from a signal handler, so it must be async-signal-safe.
using StopFunction = void (*)();

// What a program tells the shared start-up about itself.
struct Program {
  const char* name;     // for --help and --version
  const char* purpose;  // one line for --help
  void (*signalHandler)(int);
  void (*rolloutHandler)(const char*, std::size_t);
  void (*loadConfig)(const std::string&);
};

enum class StartMode {
  Run,          // start the service
  CheckConfig,  // load every file, report, do not connect (see CheckConfigStatus)
  Exit,         // --help, --version or a bad option: done, with exitStatus
};

// Start-up shared by the programs. Options: --help, --version,
// --check-config; the first other argument names a second configuration
// file, further ones are ignored. Then, in order: strict log-size checks,
// the signal handler for SIGFPE, SIGILL, SIGSEGV, SIGINT and SIGTERM,
// "log.conf" (library defaults for what it does not set; without the file,
// standard output in the default format; ignored for --check-config, which
// prints its WARNING and ERROR lines plainly on standard output), SIGHUP
// logged and ignored (not for a check), the roll-over callback, "app.conf" through
// loadConfig, and the second file on top when given.
StartMode StartUp(int argc, char** argv, const Program& program, int& exitStatus);

// The verdict of --check-config once every file has been loaded: one line
// on standard output, 0 when no configuration problem was reported, else 1.
int CheckConfigStatus();

// Body of a program's SignalHandle. SIGINT and SIGTERM call stop and record
// the signal for LogPendingSignal; both are async-signal-safe. Any other
// signal calls stop, writes the FATAL crash report and aborts the process.
void HandleSignal(int signal, StopFunction stop);

// Writes "Signal Code = <n>" once for a recorded stop signal. Called by the
// service loop on its own thread when it sees its stop flag, and by main
// after Run, so the line is never written inside the handler.
void LogPendingSignal();

// Body of a program's rolloutHandler: moves the full log to "<name>.bak"
// (replacing the previous one) before the library truncates the file.
void RollOutLogFile(const char* filename);

}  // namespace VESK::frame
