#pragma once
// Helpers shared by every suite. Waits poll a condition against a deadline.
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace pemrix::testing {

using namespace std::chrono_literals;

// A fresh folder under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "pemrix-test") : _path("/tmp/" + prefix + "-XXXXXX") {
    if (mkdtemp(_path.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(_path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return _path; }
  std::string File(const std::string& name) const { return _path + "/" + name; }
  std::string Ipc(const std::string& name) const { return "ipc://" + File(name) + ".ipc"; }

 private:
  std::string _path;
};

inline bool TcpPortOpen(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

// A loopback TCP port free a moment ago (-1: none). Not an ephemeral one, which
// any outgoing connection may take before the server binds it; nor under 10000.
inline int FreeTcpPort() {
  int low = 32768, high = 60999;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low >> high;
  const int below = std::max(0, low - 10000), above = std::max(0, 65535 - std::max(high, 9999));
  thread_local std::mt19937 rng(std::random_device{}());
  for (int attempt = 0; below + above > 0 && attempt < 200; ++attempt) {
    int n = std::uniform_int_distribution<int>(0, below + above - 1)(rng);
    int port = n < below ? 10000 + n : 65535 - (n - below);
    if (!TcpPortOpen(port)) return port;
  }
  return -1;
}

inline bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout,
                      std::chrono::milliseconds step = 10ms) {
  for (auto deadline = std::chrono::steady_clock::now() + timeout; !cond(); std::this_thread::sleep_for(step))
    if (std::chrono::steady_clock::now() >= deadline) return false;
  return true;
}

inline std::string ReadFile(const std::string& path) {
  std::stringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// /bin/sh exit status, -1 when it did not exit.
inline int RunShell(const std::string& command) {
  int rc = std::system(command.c_str());
  return rc != -1 && WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// A built program: under $PEMRIX_BIN_DIR, else beside the test executable.
inline std::string BinPath(const std::string& name) {
  if (const char* env = std::getenv("PEMRIX_BIN_DIR")) return std::string(env) + "/" + name;
  return std::filesystem::read_symlink("/proc/self/exe").parent_path() / name;
}

// A child process writing stdout and stderr to one file; killed and reaped on destruction.
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

  bool Start() {
    std::vector<char*> argv;
    for (auto& a : _options.argv) argv.push_back(a.data());
    argv.push_back(nullptr);
    _exited = false;
    _pid = fork();
    if (_pid != 0) return _pid > 0;
    // The child: only async-signal-safe calls until exec.
    if (!_options.cwd.empty() && chdir(_options.cwd.c_str()) != 0) _exit(126);
    int out = open(_options.output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644), in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    if (in > 2) close(in);
    if (out > 2) close(out);
    for (auto& e : _options.env) putenv(e.data());
    execvp(argv[0], argv.data());
    _exit(127);
  }
  pid_t Pid() const { return _pid; }
  bool Running() { return _pid > 0 && !_exited && !(_exited = waitpid(_pid, &_status, WNOHANG) == _pid); }
  void Signal(int signal) {
    if (Running()) kill(_pid, signal);
  }
  bool Wait(std::chrono::milliseconds timeout) {  // false: still running
    return WaitUntil([this] { return !Running(); }, timeout, 5ms);
  }
  int ExitCode() const { return WIFEXITED(_status) ? WEXITSTATUS(_status) : -1; }  // -1: ended by a signal
  int TermSignal() const { return WIFSIGNALED(_status) ? WTERMSIG(_status) : 0; }
  void Kill() {  // SIGKILL and reap
    if (Running() && kill(_pid, SIGKILL) == 0) _exited = waitpid(_pid, &_status, 0) == _pid;
  }
  // Signal, wait up to timeout, then SIGKILL; true when it ended by itself.
  bool Stop(int signal, std::chrono::milliseconds timeout) {
    Signal(signal);
    if (Wait(timeout)) return true;
    Kill();
    return false;
  }
  std::string Output() const { return ReadFile(_options.output); }

 private:
  Options _options;
  pid_t _pid = -1;
  int _status = 0;
  bool _exited = false;
};

}  // namespace pemrix::testing
