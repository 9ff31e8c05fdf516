#pragma once
// A one-connection TCP peer on 127.0.0.1 that reads one HTTP request and then
// runs a script against the socket: for answers a real server never gives
// (cut-off heads, NUL bytes, lower-case headers, silence).
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace pemrix::testing {

class ScriptedPeer {
 public:
  using Script = std::function<void(ScriptedPeer& peer, int fd)>;

  explicit ScriptedPeer(Script script) : _script(std::move(script)) {
    _listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(_listen, reinterpret_cast<sockaddr*>(&addr), len);
    ::listen(_listen, 1);
    ::getsockname(_listen, reinterpret_cast<sockaddr*>(&addr), &len);
    _port = ntohs(addr.sin_port);
    _thread = std::thread([this] { Serve(); });
  }
  ~ScriptedPeer() {
    _done = true;
    _thread.join();
    ::close(_listen);
  }
  int Port() const { return _port; }
  // The request as received (head and Content-Length body); read it after
  // the exchange ended.
  const std::string& Request() const { return _request; }
  // True once the test ended: scripts that hold the line stop waiting.
  bool Done() const { return _done; }

  static void Send(int fd, const std::string& text) { (void)::send(fd, text.data(), text.size(), MSG_NOSIGNAL); }
  // Holds the connection open without answering until the test ends.
  void Hold() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!_done && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

 private:
  void Serve() {
    pollfd p{_listen, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return;
    const int fd = ::accept(_listen, nullptr, nullptr);
    if (fd < 0) return;
    if (ReadRequest(fd)) _script(*this, fd);
    ::close(fd);
  }

  bool ReadRequest(int fd) {
    std::size_t need = std::string::npos;
    char buf[65536];
    while (need == std::string::npos || _request.size() < need) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 10000) != 1) return false;
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return false;
      _request.append(buf, static_cast<std::size_t>(n));
      const auto end = _request.find("\r\n\r\n");
      if (need == std::string::npos && end != std::string::npos) {
        const auto at = _request.find("Content-Length: ");
        need = end + 4 + (at < end ? std::stoul(_request.substr(at + 16)) : 0);
      }
    }
    return true;
  }

  Script _script;
  int _listen = -1;
  int _port = 0;
  std::string _request;
  std::atomic<bool> _done{false};
  std::thread _thread;
};

}  // namespace pemrix::testing
