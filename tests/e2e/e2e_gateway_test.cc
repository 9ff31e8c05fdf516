// The whole gateway from the demo's templates, real broker and database; the tests run in order on one chain.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "MqttProbe.h"
#include "Servers.h"

using namespace pemrix::testing;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

[[maybe_unused]] ::testing::Environment* const kMosquitto = ::testing::AddGlobalTestEnvironment(new MosquittoLibrary);

std::string ReplaceAll(std::string text, const std::map<std::string, std::string>& values) {
  for (const auto& [key, value] : values)
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
      text.replace(at, key.size(), value);
  return text;
}

// The daemon's texts carry one trailing zero byte on the wire.
std::string Text(const std::string& p) { return !p.empty() && p.back() == '\0' ? p.substr(0, p.size() - 1) : p; }

int64_t WallNs() { return std::chrono::system_clock::now().time_since_epoch() / std::chrono::nanoseconds(1); }

struct Gateway {
  TempDir run{"pemrix-e2e"};
  MosquittoBroker broker;
  InfluxServer influx;
  std::unique_ptr<Process> hostsvc, daqsvc, datalogger, daemon;
  std::unique_ptr<MqttProbe> probe;
  std::map<std::string, std::string> topics;
  int64_t startNs = WallNs();

  std::string LogOf(const std::string& program) const {
    return ReadFile(run.File(program + "/logs/" + program + ".log"));
  }
  bool LogHas(const std::string& program, const std::string& text, size_t from = 0) const {
    return WaitUntil([&] { return LogOf(program).find(text, from) != std::string::npos; }, 30s, 50ms);
  }
  std::unique_ptr<Process> Launch(const std::string& program, const std::string& folder, const std::string& arg = "") {
    Process::Options o{{BinPath(program)}, run.File(folder), {}, run.File(folder + "/out.txt")};
    if (!arg.empty()) o.argv.push_back(run.File(folder + "/" + arg));
    auto p = std::make_unique<Process>(o);
    return p->Start() ? std::move(p) : nullptr;
  }
  bool StartDaqsvc() {
    const size_t from = LogOf("daqsvc").size();
    return (daqsvc = Launch("pemrix-daqsvc", "daqsvc", "daqsvc.json")) && LogHas("daqsvc", "DAQ Service Started", from);
  }

  bool Start() {
    if (!broker.Start() || !influx.Start()) return false;
    // The demo's templates with this run's folder and ports; its top level holds its own server files.
    const std::map<std::string, std::string> values = {{"@RUN@", run.Path()},
                                                       {"@MQTT_PORT@", std::to_string(broker.Port())},
                                                       {"@INFLUX_PORT@", std::to_string(influx.Port())}};
    const fs::path source = PEMRIX_DEMO_CONFIG_DIR;
    for (const auto& entry : fs::recursive_directory_iterator(source)) {
      const std::string relative = fs::relative(entry.path(), source).string();
      if (entry.is_directory()) fs::create_directories(run.File(relative));
      if (!entry.is_directory() && relative.find('/') != std::string::npos)
        WriteFile(run.File(relative), ReplaceAll(ReadFile(entry.path()), values));
    }
    fs::create_directories(run.File("runtime"));
    for (const char* program : {"hostsvc", "daqsvc", "datalogger", "daemon"})
      WriteFile(run.File(std::string(program) + "/log.conf"),
                ReplaceAll(ReadFile(source / "log.conf"), {{"@NAME@", program}}));
    if (!(hostsvc = Launch("pemrix-hostsvc", "hostsvc", "hostsvc.json")) || !LogHas("hostsvc", "RPC Server Bind") ||
        !StartDaqsvc())
      return false;
    datalogger = Launch("Pemrix.DataLogger", "datalogger");
    daemon = Launch("Pemrix.Daemon", "daemon");
    if (!datalogger || !daemon || !LogHas("daemon", "Status Topic   : ")) return false;
    const std::string log = LogOf("daemon");
    for (const char* label : {"Request Topic  : ", "Response Topic : ", "Status Topic   : "}) {
      const size_t at = log.find(label) + strlen(label);
      topics[std::string(label).substr(0, std::string(label).find(' '))] = log.substr(at, log.find('\n', at) - at);
    }
    probe = std::make_unique<MqttProbe>(broker.Port());
    return probe->Connect() && probe->Subscribe(topics["Status"]) && probe->Subscribe(topics["Response"]);
  }

  // The first series of an answer as rows of column -> value.
  std::vector<json> Rows(const std::string& query) {
    std::vector<json> rows;
    const json answer = json::parse(influx.Query("gateway_demo", query), nullptr, false);
    const json series = answer.is_object() ? answer["results"][0].value("series", json::array()) : json::array();
    for (const auto& values : series.empty() ? json::array() : series[0]["values"]) {
      json& row = rows.emplace_back(json::object());
      for (size_t i = 0; i < values.size(); ++i) row[series[0]["columns"][i].get<std::string>()] = values[i];
    }
    return rows;
  }
  std::vector<json> Points(const std::string& measurement, int64_t sinceNs = 0) {
    return Rows("SELECT * FROM \"" + measurement + "\" WHERE time > " + std::to_string(sinceNs) + " ORDER BY time ASC");
  }
};

class GatewayTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gateway = std::make_unique<Gateway>();
    started = gateway->Start();
    EXPECT_TRUE(started) << "the gateway did not start; logs under " << gateway->run.Path() << "\n"
                         << gateway->LogOf("daqsvc") << gateway->LogOf("daemon");
  }
  static void TearDownTestSuite() { gateway.reset(); }  // every process is stopped by its owner
  void SetUp() override { ASSERT_TRUE(started) << "the gateway is not running"; }
  static inline std::unique_ptr<Gateway> gateway;
  static inline bool started = false;
  Gateway* gw = gateway.get();
};

TEST_F(GatewayTest, DeviceValuesArriveWithTheirTypesAtEachMeasurementsRate) {
  const struct {
    const char* measurement;
    int cycleMs;
    size_t points;
    const char* types;  // field:type, sorted by field
  } expected[] = {{"fast", 200, 20, "heater:boolean level:float pattern:integer "},
                  {"line", 1000, 5, "count:integer name:string running:boolean setpoint:float speed:float "},
                  {"temps", 2000, 3, "t0:float t1:float t2:float "}};
  for (const auto& e : expected) {
    SCOPED_TRACE(e.measurement);
    std::vector<json> points;
    ASSERT_TRUE(WaitUntil([&] { return (points = gw->Points(e.measurement)).size() >= e.points; }, 30s, 200ms))
        << points.size() << " points " << gw->LogOf("datalogger");
    const int64_t first = points.front()["time"], last = points.back()["time"];
    EXPECT_GE(first, gw->startNs);
    EXPECT_LE(last, WallNs());
    // Fixed rate: the mean spacing is the cycle, whatever the jitter.
    const double meanMs = (last - first) / 1e6 / static_cast<double>(points.size() - 1);
    EXPECT_TRUE(meanMs > e.cycleMs * 0.8 && meanMs < e.cycleMs * 1.25) << meanMs;
    std::string types;
    for (const auto& row : gw->Rows(std::string("SHOW FIELD KEYS FROM ") + e.measurement))
      types += row["fieldKey"].get<std::string>() + ":" + row["fieldType"].get<std::string>() + " ";
    EXPECT_EQ(types, e.types);
  }
  // Fixed values arrive as set in the device, changing ones change.
  auto line = gw->Points("line");
  EXPECT_EQ(line.back()["name"], "Filler 3");
  EXPECT_GT(line.back()["count"].get<int64_t>(), line.front()["count"].get<int64_t>());
  std::set<bool> heater;
  for (const auto& p : gw->Points("fast")) heater.insert(p["heater"].get<bool>());
  EXPECT_EQ(heater.size(), 2u) << "a reference tag derived from a changing pattern";
}

TEST_F(GatewayTest, DaemonAnswersOverTheBrokerWithItsStatusRetained) {
  MqttProbe late(gw->broker.Port());  // gets the status from the broker's retained copy
  ASSERT_TRUE(late.Connect() && late.Subscribe(gw->topics["Status"]));
  auto status = late.WaitMessage(gw->topics["Status"], 15s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(Text(status->payload) == "online" && status->retain) << status->payload;
  const json test = {{"command", "test"}, {"id", 11}, {"note", "end to end"}};
  ASSERT_TRUE(gw->probe->Publish(gw->topics["Request"], test.dump()));
  auto reply = gw->probe->WaitMessage(gw->topics["Response"], 15s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(json::parse(Text(reply->payload), nullptr, false), test);
}

TEST_F(GatewayTest, DataLoggerOutlivesARestartOfTheAcquisitionService) {
  ASSERT_TRUE(gw->daqsvc->Stop(SIGTERM, 15s) && gw->daqsvc->ExitCode() == 0) << gw->LogOf("daqsvc");
  // The logger notices (its reads time out) and carries on.
  ASSERT_TRUE(gw->LogHas("datalogger", "'nn_recv' failed!")) << gw->LogOf("datalogger");
  const int64_t restarted = WallNs();
  ASSERT_TRUE(gw->StartDaqsvc()) << gw->LogOf("daqsvc");
  // Fresh readings, not the last values repeated: a ramp gives a new level with every read.
  auto freshLevels = [&] {
    std::set<double> levels;
    for (const auto& p : gw->Points("fast", restarted))
      if (p["level"].is_number()) levels.insert(p["level"].get<double>());
    return levels.size() >= 3;
  };
  EXPECT_TRUE(WaitUntil(freshLevels, 30s, 200ms)) << gw->LogOf("datalogger");
  EXPECT_TRUE(gw->datalogger->Running());
}

TEST_F(GatewayTest, StopsInOrder) {
  gw->probe->Clear();
  EXPECT_TRUE(gw->daemon->Stop(SIGTERM, 15s) && gw->daemon->ExitCode() == 0) << gw->daemon->Output();
  auto status = gw->probe->WaitMessage(gw->topics["Status"], 10s);
  EXPECT_EQ(status ? Text(status->payload) : "no status", "offline");
  for (Process* p : {gw->datalogger.get(), gw->daqsvc.get(), gw->hostsvc.get()})
    EXPECT_TRUE(p->Stop(SIGTERM, 15s) && p->ExitCode() == 0) << p->Output();
}

}  // namespace
