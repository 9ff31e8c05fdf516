#pragma once
// Test helpers shared by every suite. Nothing here sleeps in place of a
// condition: waits poll a predicate against a deadline and report a failure.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace pemrix::testing {

using namespace std::chrono_literals;

// A fresh folder under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "pemrix-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return _path; }
  std::string File(const std::string& name) const { return _path + "/" + name; }
  // "ipc://<dir>/<name>.ipc", an endpoint private to this folder.
  std::string Ipc(const std::string& name) const { return "ipc://" + _path + "/" + name + ".ipc"; }

 private:
  std::string _path;
};

// A TCP port on 127.0.0.1 that was free a moment ago, outside the kernel's
// ephemeral range (-1 when none is found).
int FreeTcpPort();
// True when something accepts TCP connections on 127.0.0.1:port.
bool TcpPortOpen(int port);

// Polls cond every step until it holds (true) or timeout passes (false).
bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout,
               std::chrono::milliseconds step = 10ms);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);
bool IsDirectory(const std::string& path);
// Runs a /bin/sh command; returns its exit status (-1 when it did not exit).
int RunShell(const std::string& command);

// Folder of the built programs and plug-ins (ctest sets PEMRIX_BIN_DIR;
// otherwise the test executable's own folder).
std::string BinDir();
std::string BinPath(const std::string& name);

// A child process. Its stdout and stderr go to one file. Killed (SIGKILL) and
// reaped on destruction if it is still running, so no test leaves it behind.
class Process {
 public:
  struct Options {
    std::vector<std::string> argv;
    std::string cwd;               // empty: inherit
    std::vector<std::string> env;  // extra "KEY=VALUE" entries
    std::string output = "/dev/null";
  };
  explicit Process(Options options);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool Start();
  pid_t Pid() const { return _pid; }
  bool Running();
  void Signal(int signal);
  // Waits for the process to end; false if it is still running at timeout.
  bool Wait(std::chrono::milliseconds timeout);
  // After Wait returned true: exit code, or -1 if it ended by a signal.
  int ExitCode() const;
  int TermSignal() const;
  // SIGKILL and reap; no-op when not running.
  void Kill();
  // Signal, wait up to timeout, then SIGKILL; true when it ended by itself.
  bool Stop(int signal, std::chrono::milliseconds timeout);
  std::string Output() const { return ReadFile(_options.output); }

 private:
  Options _options;
  pid_t _pid = -1;
  int _status = 0;
  bool _exited = false;
};

}  // namespace pemrix::testing
