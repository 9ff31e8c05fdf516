#pragma once
// Real peers for integration tests, each in its own temporary folder on a
// free loopback port, stopped on every path.
#include <memory>
#include <string>

#include "TestSupport.h"

namespace pemrix::testing {

// A real mosquitto. extraConfig follows the listener line, so TLS options
// apply to it. Start() returns once the port accepts connections (10 s at most).
class MosquittoBroker {
 public:
  explicit MosquittoBroker(std::string extraConfig = "", int port = 0)
      : _extra(std::move(extraConfig)), _port(port > 0 ? port : FreeTcpPort()) {}
  ~MosquittoBroker() { Stop(); }
  bool Start();
  void Stop();  // SIGTERM, then SIGKILL after 5 s
  void Kill();  // no clean shutdown
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
HttpResult HttpRequest(int port, const std::string& method, const std::string& target, const std::string& body = "");
std::string UrlEncode(const std::string& text);

// A real InfluxDB 1.x with all its files in a temporary folder, HTTP and RPC
// on free loopback ports. Start() waits for /ping (30 s at most).
class InfluxServer {
 public:
  InfluxServer() : _port(FreeTcpPort()), _rpcPort(FreeTcpPort()) {}
  ~InfluxServer() { Stop(); }
  bool Start();
  void Stop();
  int Port() const { return _port; }
  std::string Query(const std::string& db, const std::string& q);  // JSON body, "" on failure
  HttpResult Execute(const std::string& q);                        // POST, for CREATE/DROP

 private:
  TempDir _dir{"pemrix-influx"};
  int _port, _rpcPort;
  std::unique_ptr<Process> _process;
};

}  // namespace pemrix::testing
