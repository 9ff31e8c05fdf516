#pragma once
// Real peers for integration tests, each in its own temporary folder on a free loopback port, stopped on every path.
#include <sys/time.h>

#include <memory>
#include <string>

#include "TestSupport.h"

namespace pemrix::testing {

// Starts a server process and waits until ready() holds, or until it ended.
inline bool StartServer(std::unique_ptr<Process>& process, std::vector<std::string> argv, const std::string& output,
                        const std::function<bool()>& ready, std::chrono::milliseconds timeout) {
  process = std::make_unique<Process>(Process::Options{std::move(argv), "", {}, output});
  return process->Start() && WaitUntil([&] { return !process->Running() || ready(); }, timeout, 20ms) &&
         process->Running();
}

// A real mosquitto; extraConfig (TLS options, say) follows the listener line. Start() waits for the port (10 s).
class MosquittoBroker {
 public:
  explicit MosquittoBroker(std::string extraConfig = "", int port = 0)
      : _extra(std::move(extraConfig)), _port(port > 0 ? port : FreeTcpPort()) {}
  ~MosquittoBroker() { Stop(); }
  bool Start() {
    // As root, mosquitto would drop to its own user and lose the test's folder.
    WriteFile(_dir.File("mosquitto.conf"), "listener " + std::to_string(_port) + " 127.0.0.1\nallow_anonymous true\n" +
                                               "user root\nlog_type all\nlog_dest file " + _dir.File("mosquitto.log") +
                                               "\n" + _extra + "\n");
    return StartServer(
        _process, {"mosquitto", "-c", _dir.File("mosquitto.conf")}, _dir.File("mosquitto.out"),
        [this] { return TcpPortOpen(_port); }, 10s);
  }
  void Stop() {  // SIGTERM, then SIGKILL after 5 s
    if (_process) _process->Stop(SIGTERM, 5s);
  }
  void Kill() {  // no clean shutdown
    if (_process) _process->Kill();
  }
  void Freeze() {  // SIGSTOP: the connections stay open, nothing is answered
    if (_process) kill(_process->Pid(), SIGSTOP);
  }
  int Port() const { return _port; }
  std::string Log() const { return ReadFile(_dir.File("mosquitto.log")); }

 private:
  TempDir _dir{"pemrix-mosquitto"};
  std::string _extra;
  int _port;
  std::unique_ptr<Process> _process;
};

struct HttpResult {
  int status = -1;  // -1: no answer
  std::string body;
};

// One HTTP/1.0 exchange with 127.0.0.1:port, bounded by a 10 s time-out.
inline HttpResult HttpRequest(int port, const std::string& method, const std::string& target,
                              const std::string& body = "") {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return {};
  timeval tv{10, 0};
  for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) setsockopt(fd, SOL_SOCKET, option, &tv, sizeof(tv));
  sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  const std::string request = method + " " + target + " HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) +
                              "\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n" + body;
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char buf[4096];
    for (ssize_t n; (n = recv(fd, buf, sizeof(buf), 0)) > 0;) answer.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  const size_t space = answer.find(' '), head = answer.find("\r\n\r\n");
  if (space == std::string::npos || head == std::string::npos) return {};
  return {std::atoi(answer.c_str() + space + 1), answer.substr(head + 4)};
}

inline std::string UrlEncode(const std::string& text) {  // every byte but letters and digits escaped
  std::string out;
  for (unsigned char c : text)
    out += isalnum(c) ? std::string(1, c) : std::string{'%', "0123456789ABCDEF"[c >> 4], "0123456789ABCDEF"[c & 15]};
  return out;
}

// A real InfluxDB 1.x, its files in a temporary folder, HTTP and RPC on free ports. Start() waits for /ping (30 s).
class InfluxServer {
 public:
  InfluxServer() : _port(FreeTcpPort()), _rpcPort(FreeTcpPort()) {}
  ~InfluxServer() { Stop(); }
  bool Start() {
    WriteFile(_dir.File("influxdb.conf"),
              "reporting-disabled = true\nbind-address = \"127.0.0.1:" + std::to_string(_rpcPort) +
                  "\"\n[meta]\ndir = \"" + _dir.File("meta") + "\"\nlogging-enabled = false\n[data]\ndir = \"" +
                  _dir.File("data") + "\"\nwal-dir = \"" + _dir.File("wal") +
                  "\"\nquery-log-enabled = false\nwal-fsync-delay = \"0s\"\n[monitor]\nstore-enabled = false\n"
                  "[continuous_queries]\nenabled = false\n[http]\nenabled = true\nbind-address = \"127.0.0.1:" +
                  std::to_string(_port) + "\"\nlog-enabled = false\n");
    return StartServer(
        _process, {"influxd", "-config", _dir.File("influxdb.conf")}, _dir.File("influxd.out"),
        [this] { return HttpRequest(_port, "GET", "/ping").status == 204; }, 30s);
  }
  void Stop() {
    if (_process) _process->Stop(SIGTERM, 10s);
  }
  int Port() const { return _port; }
  // GET /query with epoch=ns: the JSON body, "" on failure.
  std::string Query(const std::string& db, const std::string& q) {
    auto r = HttpRequest(_port, "GET", "/query?epoch=ns&db=" + UrlEncode(db) + "&q=" + UrlEncode(q));
    return r.status == 200 ? r.body : "";
  }
  HttpResult Execute(const std::string& q) {  // POST, for CREATE/DROP
    return HttpRequest(_port, "POST", "/query", "q=" + UrlEncode(q));
  }

 private:
  TempDir _dir{"pemrix-influx"};
  int _port, _rpcPort;
  std::unique_ptr<Process> _process;
};

}  // namespace pemrix::testing
