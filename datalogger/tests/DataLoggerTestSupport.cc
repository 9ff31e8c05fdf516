#include "DataLoggerTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace pemrix::testing {

InfluxServer& SharedInflux() {
  static std::unique_ptr<InfluxServer> server = [] {
    auto s = std::make_unique<InfluxServer>();
    if (!s->Start()) ADD_FAILURE() << "influxd did not start";
    return s;
  }();
  return *server;
}

std::vector<nlohmann::json> QueryPoints(InfluxServer& server, const std::string& db, const std::string& measurement) {
  std::vector<nlohmann::json> rows;
  // Not const: a missing member (no series yet, an error answer) reads as null.
  auto body = nlohmann::json::parse(server.Query(db, "SELECT * FROM \"" + measurement + "\""), nullptr, false);
  if (!body.is_object() || !body["results"].is_array() || body["results"].empty()) return rows;
  auto& series = body["results"][0]["series"];
  if (!series.is_array() || series.empty()) return rows;
  const auto& columns = series[0]["columns"];
  for (const auto& values : series[0]["values"]) {
    nlohmann::json row;
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (!values[i].is_null()) row[columns[i].get<std::string>()] = values[i];
    }
    rows.push_back(row);
  }
  return rows;
}

FakeDaq::FakeDaq() : _endpoint(_dir.Ipc("daq.api")), _control({{"mode", "ok"}, {"values", nlohmann::json::object()}}) {}

FakeDaq::~FakeDaq() {
  if (_process) _process->Stop(SIGTERM, 5s);
}

bool FakeDaq::Start() {
  SetValues(_control["values"]);
  Process::Options o;
  o.argv = {BinPath("pemrix_fake_daq"), _endpoint, _dir.File("control.json")};
  o.output = _dir.File("fake_daq.out");
  _process = std::make_unique<Process>(o);
  if (!_process->Start()) return false;
  const std::string socketPath = _endpoint.substr(6);  // after "ipc://"
  return WaitUntil([&] { return FileExists(socketPath); }, 10s);
}

void FakeDaq::SetValues(const nlohmann::json& values, const std::string& mode) {
  _control = {{"mode", mode}, {"values", values}};
  WriteFile(_dir.File("control.tmp"), _control.dump());
  std::rename(_dir.File("control.tmp").c_str(), _dir.File("control.json").c_str());
}

void FakeDaq::SetMode(const std::string& mode) { SetValues(_control["values"], mode); }

}  // namespace pemrix::testing
