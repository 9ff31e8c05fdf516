#pragma once
// Peers shared by the data logger's integration tests.
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "Servers.h"
#include "TestSupport.h"

namespace pemrix::testing {

// One influxd for the whole test executable, started on first use and
// stopped at exit. Tests keep apart by using their own database names.
InfluxServer& SharedInflux();

// The rows of "SELECT * FROM <measurement>" in database db, each an object
// from column name to value (time in ns); empty when there are none.
std::vector<nlohmann::json> QueryPoints(InfluxServer& server, const std::string& db, const std::string& measurement);

// The acquisition stand-in program on a private IPC endpoint.
class FakeDaq {
 public:
  FakeDaq();
  ~FakeDaq();
  bool Start();
  const std::string& Endpoint() const { return _endpoint; }
  // Rewrites the control file atomically: the next request sees all of it.
  void SetValues(const nlohmann::json& values, const std::string& mode = "ok");
  void SetMode(const std::string& mode);
  std::string Output() const { return _process ? _process->Output() : ""; }

 private:
  TempDir _dir{"pemrix-fake-daq"};
  std::string _endpoint;
  nlohmann::json _control;
  std::unique_ptr<Process> _process;
};

}  // namespace pemrix::testing
