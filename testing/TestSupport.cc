#include "TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace pemrix::testing {

TempDir::TempDir(const std::string& prefix) : _path("/tmp/" + prefix + "-XXXXXX") {
  if (mkdtemp(_path.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(_path, ec);
}

int FreeTcpPort() {
  // Any outgoing connection may take an ephemeral port before the server
  // binds it; stay above the well-known services (10000) too.
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

bool TcpPortOpen(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout, std::chrono::milliseconds step) {
  for (auto deadline = std::chrono::steady_clock::now() + timeout; !cond(); std::this_thread::sleep_for(step))
    if (std::chrono::steady_clock::now() >= deadline) return false;
  return true;
}

std::string ReadFile(const std::string& path) {
  std::stringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int RunShell(const std::string& command) {
  int rc = std::system(command.c_str());
  return rc != -1 && WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string BinPath(const std::string& name) {
  if (const char* env = std::getenv("PEMRIX_BIN_DIR")) return std::string(env) + "/" + name;
  return std::filesystem::read_symlink("/proc/self/exe").parent_path() / name;
}

bool Process::Start() {
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

bool Process::Running() {
  if (_pid <= 0 || _exited) return false;
  _exited = waitpid(_pid, &_status, WNOHANG) == _pid;
  return !_exited;
}

void Process::Signal(int signal) {
  if (Running()) kill(_pid, signal);
}

bool Process::Wait(std::chrono::milliseconds timeout) {
  return WaitUntil([this] { return !Running(); }, timeout, 5ms);
}

int Process::ExitCode() const { return WIFEXITED(_status) ? WEXITSTATUS(_status) : -1; }

int Process::TermSignal() const { return WIFSIGNALED(_status) ? WTERMSIG(_status) : 0; }

void Process::Kill() {
  if (!Running()) return;
  kill(_pid, SIGKILL);
  _exited = waitpid(_pid, &_status, 0) == _pid;
}

bool Process::Stop(int signal, std::chrono::milliseconds timeout) {
  Signal(signal);
  if (Wait(timeout)) return true;
  Kill();
  return false;
}

}  // namespace pemrix::testing
