#pragma once
// testing/opcua-server/server.js (switches and event lines described there) on a free loopback port.
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace pemrix::testing {

class UaTestServer {
 public:
  explicit UaTestServer(std::vector<std::string> switches) : _switches(std::move(switches)) {}
  // Launch does not wait, so two servers start side by side; Ready allows 90 s.
  bool Launch();
  bool Ready();
  bool Start() { return Launch() && Ready(); }
  void Kill() { _process->Kill(); }
  std::string Endpoint() const { return "opc.tcp://127.0.0.1:" + std::to_string(_port) + "/pemrix"; }
  std::vector<nlohmann::json> Events() const;  // every JSON line printed so far
  std::string Output() const { return ReadFile(_dir.File("server.out")); }

 private:
  std::vector<std::string> _switches;
  TempDir _dir{"pemrix-opcua"};
  int _port = FreeTcpPort();
  std::unique_ptr<Process> _process;
};

}  // namespace pemrix::testing
