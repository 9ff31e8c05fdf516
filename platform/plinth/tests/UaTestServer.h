#pragma once
// The real OPC UA server of testing/opcua-server (node-opcua) on a free
// loopback port in a temporary folder, stopped on every path. Its address
// space and switches are described in testing/opcua-server/server.js.
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace pemrix::testing {

class UaTestServer {
 public:
  struct Options {
    int maxRead = 0;
    int maxWrite = 0;
    bool hideLimits = false;
    int bulk = 0;
    int idleCloseMs = 0;  // 0: the server's default (30 s)
  };
  explicit UaTestServer(Options options);
  ~UaTestServer();
  // Launch without waiting (two servers may start side by side), then Ready
  // waits (bounded, 90 s: the server loads the standard address space) for
  // its "listening" line. Start does both.
  bool Launch();
  bool Ready();
  bool Start() { return Launch() && Ready(); }
  void Kill();
  int Port() const { return _port; }
  std::string Endpoint() const;
  // Every JSON line the server printed so far ({"read": n}, {"write": ...}).
  std::vector<nlohmann::json> Events() const;
  std::string Output() const { return ReadFile(_dir.File("server.out")); }

 private:
  Options _options;
  TempDir _dir{"pemrix-opcua"};
  int _port;
  std::unique_ptr<Process> _process;
};

}  // namespace pemrix::testing
