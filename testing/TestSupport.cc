#include "TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace pemrix::testing {

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  _path = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(_path, ec);
}

int FreeTcpPort() {
  // Not from the kernel's ephemeral range: every outgoing connection on the
  // machine takes its local port from there, so such a port can be gone
  // before the server binds it. Above the well-known services (10000).
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
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  close(fd);
  return ok;
}

bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout, std::chrono::milliseconds step) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(step);
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int RunShell(const std::string& command) {
  int rc = std::system(command.c_str());
  if (rc == -1 || !WIFEXITED(rc)) return -1;
  return WEXITSTATUS(rc);
}

std::string BinDir() {
  if (const char* env = std::getenv("PEMRIX_BIN_DIR")) return env;
  char buf[PATH_MAX] = {0};
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  std::string self(buf, n > 0 ? static_cast<size_t>(n) : 0);
  return self.substr(0, self.rfind('/'));
}

std::string BinPath(const std::string& name) { return BinDir() + "/" + name; }

Process::Process(Options options) : _options(std::move(options)) {}

Process::~Process() { Kill(); }

bool Process::Start() {
  std::vector<char*> argv;
  for (auto& a : _options.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  _exited = false;
  _pid = fork();
  if (_pid < 0) return false;
  if (_pid == 0) {
    // Child: only async-signal-safe calls until exec.
    if (!_options.cwd.empty() && chdir(_options.cwd.c_str()) != 0) _exit(126);
    int fd = open(_options.output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) {
      dup2(devnull, 0);
      close(devnull);
    }
    for (auto& e : _options.env) putenv(const_cast<char*>(e.c_str()));
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return true;
}

bool Process::Running() {
  if (_pid <= 0 || _exited) return false;
  pid_t r = waitpid(_pid, &_status, WNOHANG);
  if (r == _pid) {
    _exited = true;
    return false;
  }
  return true;
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
  if (waitpid(_pid, &_status, 0) == _pid) _exited = true;
}

bool Process::Stop(int signal, std::chrono::milliseconds timeout) {
  if (!Running()) return true;
  kill(_pid, signal);
  if (Wait(timeout)) return true;
  Kill();
  return false;
}

}  // namespace pemrix::testing
