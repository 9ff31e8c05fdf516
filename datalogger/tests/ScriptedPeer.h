#pragma once
// A scripted TCP peer on 127.0.0.1 for answers a real server never gives:
// it reads one HTTP request per connection (unless told not to), then runs a
// script against the socket. Serves one connection, or any number (one at a
// time) until destroyed.
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

  explicit ScriptedPeer(Script script, bool readRequest = true, bool many = false) : _script(std::move(script)) {
    _listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(_listen, reinterpret_cast<sockaddr*>(&addr), len);
    ::listen(_listen, 8);
    ::getsockname(_listen, reinterpret_cast<sockaddr*>(&addr), &len);
    _port = ntohs(addr.sin_port);
    _thread = std::thread([this, readRequest, many] {
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(many ? 60 : 10);
      for (bool served = false; !_done && !(served && !many) && std::chrono::steady_clock::now() < end;) {
        pollfd p{_listen, POLLIN, 0};
        const int fd = ::poll(&p, 1, 50) == 1 ? ::accept(_listen, nullptr, nullptr) : -1;
        if (fd < 0) continue;
        served = true;
        _request.clear();
        if (!readRequest || ReadRequest(fd)) _script(*this, fd);
        ::close(fd);
      }
    });
  }
  ~ScriptedPeer() {
    _done = true;
    _thread.join();
    ::close(_listen);
  }
  int Port() const { return _port; }
  // The last request as received (head and Content-Length body); read it
  // after the exchange ended.
  const std::string& Request() const { return _request; }

  static bool Send(int fd, const std::string& text) {
    return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  }
  // Holds the connection open without answering until the test ends.
  void Hold() { Trickle(-1, "", std::chrono::milliseconds(5)); }
  // Sends text in pieces of step bytes, one per pause (repeating it when
  // endless), until done, the test ends or the client has gone.
  void Trickle(int fd, const std::string& text, std::chrono::milliseconds pause, std::size_t step = 1,
               bool endless = false) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (std::size_t i = 0; !_done && std::chrono::steady_clock::now() < end; i += step) {
      if (!text.empty() && i >= text.size()) {
        if (!endless) return;
        i = 0;
      }
      if (fd >= 0 && !Send(fd, text.substr(i, step))) return;
      std::this_thread::sleep_for(pause);
    }
  }

 private:
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
