// The whole gateway on loopback, configured from the demo's own templates:
// a real broker and database, the host and acquisition stand-ins, the
// plug-in over a simulated device, the data logger and the daemon. The tests
// run in order on one running chain; the last one stops the acquisition
// service under the data logger.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "DaqTestPeer.h"
#include "MqttProbe.h"
#include "Servers.h"
#include "TestSupport.h"

using namespace pemrix::testing;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

[[maybe_unused]] ::testing::Environment* const kMosquitto = ::testing::AddGlobalTestEnvironment(new MosquittoLibrary);

const char* kDatabase = "gateway_demo";

std::string ReplaceAll(std::string text, const std::map<std::string, std::string>& values) {
  for (const auto& [key, value] : values) {
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
      text.replace(at, key.size(), value);
  }
  return text;
}

// The daemon's texts carry one trailing zero byte on the wire.
std::string Text(const std::string& payload) {
  return !payload.empty() && payload.back() == '\0' ? payload.substr(0, payload.size() - 1) : payload;
}

int64_t WallNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// One series of an InfluxQL answer as rows of column -> value.
std::vector<json> Rows(const std::string& body) {
  std::vector<json> rows;
  json answer = json::parse(body, nullptr, false);
  if (answer.is_discarded()) return rows;
  const json& series = answer["results"][0]["series"];
  if (!series.is_array() || series.empty()) return rows;
  const json& columns = series[0]["columns"];
  for (const auto& values : series[0]["values"]) {
    json row = json::object();
    for (size_t i = 0; i < columns.size(); ++i) row[columns[i].get<std::string>()] = values[i];
    rows.push_back(row);
  }
  return rows;
}

// Everything the chain consists of, in the order it starts.
struct Gateway {
  TempDir run{"pemrix-e2e"};
  MosquittoBroker broker;
  InfluxServer influx;
  std::map<std::string, std::string> values;
  std::unique_ptr<Process> hostsvc, daqsvc, datalogger, daemon;
  std::unique_ptr<MqttProbe> probe;
  std::string requestTopic, responseTopic, receiveTopic, statusTopic;
  int64_t startNs = WallNs();

  std::string LogOf(const std::string& program) const {
    return ReadFile(run.File(program + "/logs/" + program + ".log"));
  }

  // Copies the demo's templates with this run's folder and ports filled in.
  void Instantiate() {
    values = {{"@RUN@", run.Path()},
              {"@MQTT_PORT@", std::to_string(broker.Port())},
              {"@INFLUX_PORT@", std::to_string(influx.Port())}};
    const fs::path source = PEMRIX_DEMO_CONFIG_DIR;
    for (const auto& entry : fs::recursive_directory_iterator(source)) {
      const fs::path relative = fs::relative(entry.path(), source);
      if (entry.is_directory()) {
        fs::create_directories(run.File(relative.string()));
      } else if (relative.has_parent_path()) {  // the top level holds the demo's own server files
        WriteFile(run.File(relative.string()), ReplaceAll(ReadFile(entry.path().string()), values));
      }
    }
    fs::create_directories(run.File("runtime"));
    const std::string logConf = ReadFile((source / "log.conf").string());
    for (const char* program : {"hostsvc", "daqsvc", "datalogger", "daemon"})
      WriteFile(run.File(std::string(program) + "/log.conf"), ReplaceAll(logConf, {{"@NAME@", program}}));
  }

  std::unique_ptr<Process> Launch(const std::string& folder, const std::string& program,
                                  const std::string& argument = "") {
    Process::Options o;
    o.argv = {BinPath(program)};
    if (!argument.empty()) o.argv.push_back(argument);
    o.cwd = run.File(folder);
    o.output = run.File(folder) + "/out.txt";
    auto p = std::make_unique<Process>(o);
    return p->Start() ? std::move(p) : nullptr;
  }

  bool LogHas(const std::string& program, const std::string& text, size_t times = 1) {
    return WaitUntil([&] { return Occurrences(LogOf(program), text) >= times; }, 30s, 50ms);
  }

  std::string TopicFromLog(const std::string& label) {
    const std::string log = LogOf("daemon");
    size_t at = log.find(label);
    if (at == std::string::npos) return "";
    size_t end = log.find('\n', at);
    return log.substr(at + label.size(), end - at - label.size());
  }

  bool StartDaqsvc() {
    size_t started = Occurrences(LogOf("daqsvc"), "DAQ Service Started");
    daqsvc = Launch("daqsvc", "pemrix-daqsvc", run.File("daqsvc") + "/daqsvc.json");
    return daqsvc && LogHas("daqsvc", "DAQ Service Started", started + 1);
  }

  bool Start() {
    if (!broker.Start() || !influx.Start()) return false;
    Instantiate();
    hostsvc = Launch("hostsvc", "pemrix-hostsvc", run.File("hostsvc") + "/hostsvc.json");
    if (!hostsvc || !LogHas("hostsvc", "RPC Server Bind")) return false;
    if (!StartDaqsvc()) return false;
    datalogger = Launch("datalogger", "Pemrix.DataLogger");
    daemon = Launch("daemon", "Pemrix.Daemon");
    if (!datalogger || !daemon || !LogHas("daemon", "Status Topic   : ")) return false;
    requestTopic = TopicFromLog("Request Topic  : ");
    responseTopic = TopicFromLog("Response Topic : ");
    receiveTopic = TopicFromLog("Receive Topic  : ");
    statusTopic = TopicFromLog("Status Topic   : ");
    probe = std::make_unique<MqttProbe>(broker.Port());
    return probe->Connect() && probe->Subscribe(statusTopic) && probe->Subscribe(responseTopic);
  }

  std::vector<json> Points(const std::string& measurement, int64_t sinceNs = 0) {
    return Rows(influx.Query(kDatabase, "SELECT * FROM \"" + measurement + "\" WHERE time > " +
                                            std::to_string(sinceNs) + " ORDER BY time ASC"));
  }

  json Call(const json& request) {
    if (!probe->Publish(requestTopic, request.dump())) return nullptr;
    auto reply = probe->WaitMessage(responseTopic, 15s);
    return reply ? json::parse(Text(reply->payload), nullptr, false) : json();
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
  struct Expect {
    const char* measurement;
    int cycleMs;
    size_t points;
    std::map<std::string, std::string> types;
  } expected[] = {
      {"fast", 200, 20, {{"heater", "boolean"}, {"level", "float"}, {"pattern", "integer"}}},
      {"line",
       1000,
       5,
       {{"count", "integer"}, {"name", "string"}, {"running", "boolean"}, {"setpoint", "float"}, {"speed", "float"}}},
      {"temps", 2000, 3, {{"t0", "float"}, {"t1", "float"}, {"t2", "float"}}},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.measurement);
    std::vector<json> points;
    ASSERT_TRUE(WaitUntil([&] { return (points = gw->Points(e.measurement)).size() >= e.points; }, 30s, 200ms))
        << points.size() << " points\n"
        << gw->LogOf("datalogger");
    const int64_t now = WallNs();
    const int64_t first = points.front()["time"], last = points.back()["time"];
    EXPECT_GE(first, gw->startNs);
    EXPECT_LE(last, now);
    // Fixed rate: the mean spacing is the cycle, whatever the jitter.
    const double meanMs = (last - first) / 1e6 / static_cast<double>(points.size() - 1);
    EXPECT_GT(meanMs, e.cycleMs * 0.8);
    EXPECT_LT(meanMs, e.cycleMs * 1.25);

    std::map<std::string, std::string> types;
    for (const auto& row : Rows(gw->influx.Query(kDatabase, std::string("SHOW FIELD KEYS FROM ") + e.measurement)))
      types[row["fieldKey"]] = row["fieldType"];
    EXPECT_EQ(types, e.types);
  }
  // Fixed values arrive as set in the device, changing ones change.
  auto line = gw->Points("line");
  ASSERT_FALSE(line.empty());
  EXPECT_EQ(line.back()["name"], "Filler 3");
  EXPECT_EQ(line.back()["running"], true);
  EXPECT_GT(line.back()["count"].get<int64_t>(), line.front()["count"].get<int64_t>());
  auto temps = gw->Points("temps");
  EXPECT_EQ(temps.back()["t2"], 23.25);
  std::set<bool> heater;
  for (const auto& p : gw->Points("fast")) heater.insert(p["heater"].get<bool>());
  EXPECT_EQ(heater.size(), 2u) << "a reference tag derived from a changing pattern";
}

TEST_F(GatewayTest, WriteThroughTheAcquisitionServiceReachesTheDevice) {
  const std::string api = "ipc://" + gw->run.Path() + "/daq.api.ipc";
  json w = RpcCall(api, "WriteParameter", {{"device_id", "line1"}, {"parameter", "Setpoint"}, {"value", 42.5}});
  ASSERT_EQ(w["result"], 1) << w.dump();
  json values;
  // The parameter is device-written: its value changes only once the device
  // took the write and the next update read it back.
  EXPECT_TRUE(WaitUntil(
      [&] {
        values = RpcCall(api, "ReadParameter", {{"device_id", "line1"}, {"parameters", {"Setpoint", "Name"}}});
        return values["result"]["values"]["Setpoint"] == 42.5;
      },
      10s))
      << values.dump();
  EXPECT_EQ(values["result"]["values"]["Name"], "Filler 3");
  const int64_t written = WallNs();
  std::vector<json> points;
  EXPECT_TRUE(WaitUntil(
      [&] {
        points = gw->Points("line", written);
        return !points.empty() && points.back()["setpoint"] == 42.5;
      },
      15s, 200ms))
      << gw->LogOf("datalogger");
}

TEST_F(GatewayTest, DaemonAnswersTestTakesAnUploadAndPacksTheProject) {
  // A late subscriber gets the status from the broker's retained copy.
  MqttProbe late(gw->broker.Port());
  ASSERT_TRUE(late.Connect() && late.Subscribe(gw->statusTopic));
  auto status = late.WaitMessage(gw->statusTopic, 15s);
  ASSERT_TRUE(status);
  EXPECT_EQ(Text(status->payload), "online");
  EXPECT_TRUE(status->retain);

  const json test = {{"command", "test"}, {"id", 11}, {"note", "end to end"}};
  EXPECT_EQ(gw->Call(test), test);

  const std::string name = "pemrix-e2e-upload-" + std::to_string(getpid()) + ".txt";
  const std::string content = "line 1\nline 2 \x01\x02 end\n";
  struct Remove {
    std::string path;
    ~Remove() { std::remove(path.c_str()); }
  } uploaded{"/tmp/" + name}, archive{"/tmp/Project.tar.gz"};
  json reply = gw->Call({{"command", "upload_file"}, {"id", 12}, {"filename", name}, {"size", content.size()}});
  EXPECT_EQ(reply["result"], 0) << reply.dump();
  ASSERT_TRUE(gw->probe->Publish(gw->receiveTopic, content));
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(uploaded.path) == content; }, 10s)) << gw->LogOf("daemon");

  std::remove(archive.path.c_str());
  reply = gw->Call({{"command", "download_project"}, {"id", 13}});
  EXPECT_EQ(reply["result"], 0) << reply.dump();
  ASSERT_TRUE(FileExists(archive.path));
  EXPECT_EQ(RunShell("tar tzf " + archive.path + " | grep -qx 'project/data_logger.json'"), 0);
}

TEST_F(GatewayTest, DataLoggerOutlivesARestartOfTheAcquisitionService) {
  ASSERT_TRUE(gw->daqsvc->Stop(SIGTERM, 15s)) << gw->LogOf("daqsvc");
  EXPECT_EQ(gw->daqsvc->ExitCode(), 0);
  // The logger notices (its reads time out) and carries on.
  ASSERT_TRUE(gw->LogHas("datalogger", "'nn_recv' failed!")) << gw->LogOf("datalogger");
  ASSERT_TRUE(gw->datalogger->Running());

  const int64_t restarted = WallNs();
  ASSERT_TRUE(gw->StartDaqsvc()) << gw->LogOf("daqsvc");
  // Fresh readings, not the last values repeated: a ramp gives a new level
  // with every read.
  std::set<double> levels;
  EXPECT_TRUE(WaitUntil(
      [&] {
        levels.clear();
        for (const auto& p : gw->Points("fast", restarted))
          if (p["level"].is_number()) levels.insert(p["level"].get<double>());
        return levels.size() >= 3;
      },
      30s, 200ms))
      << gw->LogOf("datalogger");
  EXPECT_TRUE(gw->datalogger->Running());
}

TEST_F(GatewayTest, StopsInOrder) {
  gw->probe->Clear();
  ASSERT_TRUE(gw->daemon->Stop(SIGTERM, 15s));
  EXPECT_EQ(gw->daemon->ExitCode(), 0);
  auto status = gw->probe->WaitMessage(gw->statusTopic, 10s);
  ASSERT_TRUE(status);
  EXPECT_EQ(Text(status->payload), "offline");
  for (Process* p : {gw->datalogger.get(), gw->daqsvc.get(), gw->hostsvc.get()}) {
    ASSERT_TRUE(p->Stop(SIGTERM, 15s));
    EXPECT_EQ(p->ExitCode(), 0);
  }
}

}  // namespace
