#pragma once
// Peers shared by the data logger's integration tests.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "Servers.h"
#include "TestSupport.h"

namespace pemrix::testing {

// One influxd for the whole test executable, started on first use and
// stopped at exit. Tests keep apart by using their own database names.
inline InfluxServer& SharedInflux() {
  static std::unique_ptr<InfluxServer> server = [] {
    auto s = std::make_unique<InfluxServer>();
    if (!s->Start()) ADD_FAILURE() << "influxd did not start";
    return s;
  }();
  return *server;
}

// The rows of "SELECT * FROM <measurement>" in database db, each an object
// from column name to value (time in ns, null columns left out).
inline std::vector<nlohmann::json> QueryPoints(InfluxServer& server, const std::string& db,
                                               const std::string& measurement) {
  using nlohmann::json;
  const json body = json::parse(server.Query(db, "SELECT * FROM \"" + measurement + "\""), nullptr, false);
  const json series = body.is_object() ? body.value(json::json_pointer("/results/0/series/0"), json::object()) : json();
  std::vector<json> rows;
  for (const auto& values : series.value("values", json::array())) {
    json row;
    for (std::size_t i = 0; i < values.size(); ++i)
      if (!values[i].is_null()) row[series["columns"][i].get<std::string>()] = values[i];
    rows.push_back(row);
  }
  return rows;
}

// The acquisition stand-in program on a private IPC endpoint, answering from
// a control file (see IpcTestPeer.cpp) that the test rewrites at will.
class FakeDaq {
 public:
  ~FakeDaq() {
    if (_process) _process->Stop(SIGTERM, 5s);
  }
  bool Start() {
    SetValues(_control["values"]);
    _process = std::make_unique<Process>(Process::Options{
        {BinPath("pemrix_ipc_test_peer"), _endpoint, _dir.File("control.json")}, "", {}, _dir.File("out")});
    return _process->Start() && WaitUntil([&] { return FileExists(_endpoint.substr(6)); }, 10s);  // after "ipc://"
  }
  const std::string& Endpoint() const { return _endpoint; }
  // Rewrites the control file atomically: the next request sees all of it.
  void SetValues(const nlohmann::json& values, const std::string& mode = "ok") {
    _control = {{"mode", mode}, {"values", values}};
    WriteFile(_dir.File("control.tmp"), _control.dump());
    std::rename(_dir.File("control.tmp").c_str(), _dir.File("control.json").c_str());
  }
  void SetMode(const std::string& mode) { SetValues(_control["values"], mode); }

 private:
  TempDir _dir{"pemrix-daq"};
  std::string _endpoint = _dir.Ipc("daq.api");
  nlohmann::json _control = {{"mode", "ok"}, {"values", nlohmann::json::object()}};
  std::unique_ptr<Process> _process;
};

}  // namespace pemrix::testing
