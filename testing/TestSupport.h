#pragma once
// Helpers shared by every suite. Waits poll a predicate against a deadline,
// never a bare sleep in place of a condition.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
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
  std::string Ipc(const std::string& name) const { return "ipc://" + File(name) + ".ipc"; }

 private:
  std::string _path;
};

// A loopback TCP port free a moment ago, outside the ephemeral range (-1: none).
int FreeTcpPort();
bool TcpPortOpen(int port);
bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout,
               std::chrono::milliseconds step = 10ms);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);
bool IsDirectory(const std::string& path);
int RunShell(const std::string& command);  // /bin/sh exit status, -1 when it did not exit
// A built program: under $PEMRIX_BIN_DIR, else beside the test executable.
std::string BinPath(const std::string& name);

// A child process writing stdout and stderr to one file; killed and reaped
// on destruction, so no test leaves it behind.
class Process {
 public:
  struct Options {
    std::vector<std::string> argv;
    std::string cwd;               // empty: inherit
    std::vector<std::string> env;  // extra "KEY=VALUE" entries
    std::string output = "/dev/null";
  };
  explicit Process(Options options) : _options(std::move(options)) {}
  ~Process() { Kill(); }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool Start();
  pid_t Pid() const { return _pid; }
  bool Running();
  void Signal(int signal);
  bool Wait(std::chrono::milliseconds timeout);  // false: still running
  int ExitCode() const;                          // -1: ended by a signal
  int TermSignal() const;
  void Kill();  // SIGKILL and reap
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
