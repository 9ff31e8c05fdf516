#pragma once
// Peers of the data logger's tests: a scripted TCP peer for answers a real
// server never gives, a real influxd and the acquisition stand-in program.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "Servers.h"

namespace pemrix::testing {

// Per connection: reads one HTTP request (unless told not to), runs the script.
class ScriptedPeer {
 public:
  using Script = std::function<void(ScriptedPeer& peer, int fd)>;

  explicit ScriptedPeer(Script script, bool readRequest = true) : _script(std::move(script)) {
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    ::bind(_listen, reinterpret_cast<sockaddr*>(&addr), len);
    ::listen(_listen, 8);
    ::getsockname(_listen, reinterpret_cast<sockaddr*>(&addr), &len);
    _port = ntohs(addr.sin_port);
    _thread = std::thread([this, readRequest] {
      for (int fd; (fd = ::accept(_listen, nullptr, nullptr)) >= 0; ::close(fd))
        if (!readRequest || ReadRequest(fd)) _script(*this, fd);
    });
  }
  ~ScriptedPeer() {
    _done = true;
    ::shutdown(_listen, SHUT_RDWR);  // ends the accept
    _thread.join();
    ::close(_listen);
  }
  int Port() const { return _port; }
  const std::string& Request() const { return _request; }  // head and body, once the exchange ended

  static bool Send(int fd, const std::string& text) {
    return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  }
  bool Done() const { return _done; }

 private:
  bool ReadRequest(int fd) {
    _request.clear();
    char buf[65536];
    for (std::size_t need = std::string::npos; need == std::string::npos || _request.size() < need;) {
      pollfd p{fd, POLLIN, 0};
      const ssize_t n = ::poll(&p, 1, 10000) == 1 ? ::recv(fd, buf, sizeof buf, 0) : 0;
      if (n <= 0) return false;
      _request.append(buf, static_cast<std::size_t>(n));
      if (need != std::string::npos) continue;
      const auto end = _request.find("\r\n\r\n"), at = _request.find("Content-Length: ");
      if (end != std::string::npos) need = end + 4 + (at < end ? std::stoul(_request.substr(at + 16)) : 0);
    }
    return true;
  }

  Script _script;
  int _listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int _port = 0;
  std::string _request;
  std::atomic<bool> _done{false};
  std::thread _thread;
};

// A whole HTTP answer with its length.
inline std::string HttpAnswer(int status, const std::string& body = "") {
  return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}

// Sends head, then body step bytes per pause (over and over when endless).
inline ScriptedPeer::Script Answer(std::string head, std::string body = "", std::chrono::milliseconds pause = {},
                                   std::size_t step = 1, bool endless = false) {
  return [=](ScriptedPeer& peer, int fd) {
    if (!ScriptedPeer::Send(fd, head)) return;
    for (std::size_t i = 0; i < body.size() && !peer.Done() && ScriptedPeer::Send(fd, body.substr(i, step));
         i += step) {
      std::this_thread::sleep_for(pause);
      if (endless && i + step >= body.size()) i = std::size_t(0) - step;  // from the start again
    }
  };
}
inline void Hold(ScriptedPeer& peer, int) {  // silent until the test ends
  while (!peer.Done()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// One influxd per test executable; tests keep apart by database name.
inline InfluxServer& SharedInflux() {
  static InfluxServer server;
  [[maybe_unused]] static const bool started = server.Start() || (ADD_FAILURE() << "influxd did not start", false);
  return server;
}

// "SELECT * FROM <m>": per row, column -> value (time in ns, nulls left out).
inline std::vector<nlohmann::json> QueryPoints(InfluxServer& server, const std::string& db, const std::string& m) {
  const auto body = nlohmann::json::parse(server.Query(db, "SELECT * FROM \"" + m + "\""), nullptr, false);
  const auto series = body.value("/results/0/series/0"_json_pointer, nlohmann::json::object());  // throws on no answer
  std::vector<nlohmann::json> rows;
  for (const auto& values : series.value("values", nlohmann::json::array())) {
    rows.emplace_back();
    for (std::size_t i = 0; i < values.size(); ++i)
      if (!values[i].is_null()) rows.back()[series["columns"][i].get<std::string>()] = values[i];
  }
  return rows;
}

// The acquisition stand-in program (IpcTestPeer.cpp), answering from a control file.
class FakeDaq {
 public:
  bool Start() {
    return _process.Start() && WaitUntil([&] { return FileExists(_endpoint.substr(6)); }, 10s);  // after "ipc://"
  }
  const std::string& Endpoint() const { return _endpoint; }
  void SetValues(const nlohmann::json& values, const std::string& mode = "ok") {
    WriteFile(_dir.File("control.tmp"), nlohmann::json({{"mode", mode}, {"values", values}}).dump());
    std::rename(_dir.File("control.tmp").c_str(), _dir.File("control.json").c_str());
  }

 private:
  TempDir _dir{"pemrix-daq"};
  std::string _endpoint = _dir.Ipc("daq.api");
  Process _process{{{BinPath("pemrix_ipc_test_peer"), _endpoint, _dir.File("control.json")}, "", {}, _dir.File("out")}};
};

}  // namespace pemrix::testing
