#pragma once
#include <cstddef>
#include <string>

namespace VESK::frame {

// A program's orderly stop: sets the service's stop flag and nothing else.
// Called from a signal handler, so it must be async-signal-safe.
using StopFunction = void (*)();

// Start-up shared by both programs, in order: strict log-size checks, the
// signal handler for SIGFPE, SIGILL, SIGSEGV, SIGINT and SIGTERM, "log.conf"
// (library defaults for what it does not set), the roll-over callback,
// "app.conf" through loadConfig, and argv[1] on top when given.
void StartUp(int argc, char** argv, void (*signalHandler)(int), void (*rolloutHandler)(const char*, std::size_t),
             void (*loadConfig)(const std::string&));

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
