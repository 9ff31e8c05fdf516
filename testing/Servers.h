#pragma once
// Real peers for integration tests, each in its own temporary folder on a
// free loopback port, stopped on every path (destructor).
#include <memory>
#include <string>

#include "TestSupport.h"

namespace pemrix::testing {

// A real mosquitto broker. The listener line comes first; extraConfig is
// appended after it, so TLS options (cafile, certfile, psk_file, ...) apply to
// that listener. Start() returns once the port accepts connections.
class MosquittoBroker {
 public:
  explicit MosquittoBroker(std::string extraConfig = "", int port = 0);
  ~MosquittoBroker();
  bool Start();  // bounded wait (10 s) for the port
  void Stop();   // SIGTERM, then SIGKILL after 5 s
  void Kill();   // SIGKILL: no clean shutdown
  int Port() const { return _port; }
  const std::string& Dir() const { return _dir.Path(); }
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

// One HTTP/1.0 exchange with 127.0.0.1:port (the server closes the
// connection after the answer, so no chunking). Bounded by a 10 s time-out.
HttpResult HttpRequest(int port, const std::string& method, const std::string& target, const std::string& body = "");
std::string UrlEncode(const std::string& text);

// A real InfluxDB 1.x (influxd) with data, meta and wal in a temporary
// folder, reporting disabled, HTTP and RPC bound to free loopback ports.
class InfluxServer {
 public:
  InfluxServer();
  ~InfluxServer();
  bool Start();  // bounded wait (30 s) for /ping
  void Stop();
  int Port() const { return _port; }
  // GET /query with epoch=ns; returns the JSON body text ("" on failure).
  std::string Query(const std::string& db, const std::string& q);
  // POST /query (for CREATE/DROP statements).
  HttpResult Execute(const std::string& q);

 private:
  TempDir _dir{"pemrix-influx"};
  int _port;
  int _rpcPort;
  std::unique_ptr<Process> _process;
};

}  // namespace pemrix::testing
