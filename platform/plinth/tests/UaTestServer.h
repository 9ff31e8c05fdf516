#pragma once
// The node-opcua server of testing/opcua-server on a free loopback port in a
// temporary folder, killed with this object. Its switches, address space and
// event lines are described in server.js.
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace pemrix::testing {

class UaTestServer {
 public:
  explicit UaTestServer(std::vector<std::string> switches) : _switches(std::move(switches)) {}
  // Launch does not wait, so two servers may start side by side; Ready waits
  // (90 s: the server loads the standard address space) for "listening".
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
