// The data logger end to end: configuration, acquisition stand-in, influxd.
#include "DataLogger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <future>
#include <set>
#include <sstream>
#include <thread>

#include "AppConfig.h"
#include "DBClient.h"
#include "DBMeasurement.h"
#include "DataLoggerTestSupport.h"
#include "LogCapture.h"
#include "PointStore.h"

using namespace VESK;
using namespace std::chrono_literals;
using nlohmann::json;
using namespace pemrix::testing;

namespace {

json Field(const std::string& tag, const std::string& device = "dev") {
  return {{"device_id", device}, {"tag_id", tag}};
}
json Measurement(const std::string& id, int cycleMs, const std::string& device = "dev") {
  return {{"id", id}, {"cycle_ms", cycleMs}, {"fields", {{"t", Field("t", device)}}}};
}
json Database(const std::string& db, int port) {
  return {{"driver", "influxdb"}, {"influxdb", {{"host", "127.0.0.1"}, {"port", port}, {"database_name", db}}}};
}
std::int64_t WallNs() { return std::chrono::system_clock::now().time_since_epoch() / 1ns; }

// The project's DataLogger on its own thread, stopped and joined on every path.
struct Running {
  explicit Running(const TempDir& project, int readTimeoutMs = 5000)
      : logger(readTimeoutMs), loaded(logger.Initial(project.Path())) {}
  ~Running() { Stop(); }
  std::chrono::milliseconds Stop() {  // how long Run took to return
    const auto start = std::chrono::steady_clock::now();
    logger.Stop();
    if (thread.joinable()) thread.join();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  }
  DataLogger logger;
  bool loaded;
  std::thread thread{[this] { logger.Run(); }};
};

class Service : public ::testing::Test {
 protected:
  void SetUp() override {
    daq.SetValues({{"dev", {{"t", 1.5}}}});
    ASSERT_TRUE(daq.Start());
    AppConfig::Instance._daqApi = daq.Endpoint();
  }
  void Write(json cfg) {
    if (cfg.is_object() && !cfg.contains("queue")) cfg["queue"] = {{"path", "queue"}};
    WriteFile(project.File("data_logger.json"), cfg.dump());
  }
  // The program in its own folder, finding the project via app.conf, logging to out.
  std::unique_ptr<Process> Program() {
    WriteFile(work.File("app.conf"), json({{"project_path", project.Path()}, {"daq_api", daq.Endpoint()}}).dump());
    auto program =
        std::make_unique<Process>(Process::Options{{BinPath("Pemrix.DataLogger")}, work.Path(), {}, work.File("out")});
    EXPECT_TRUE(program->Start());
    return program;
  }
  bool Logged(const std::string& text) { return ReadFile(work.File("out")).find(text) != std::string::npos; }

  TempDir project{"pemrix-project"}, work{"pemrix-datalogger-run"};
  FakeDaq daq;
  InfluxServer own;  // started by the test, so it can stop it
  LogCapture log;
};

}  // namespace

// An unconfigured logger idles until stopped; a stop before Run is kept.
TEST_F(Service, MalformedConfigurationsAreLoggedAndLeftUnconfiguredAndStopsAreKept) {
  EXPECT_FALSE(DataLogger().Initial(project.Path()));
  EXPECT_TRUE(log.Contains("data_logger.json' file does not exist!", "ERROR"));
  Write(json::array());
  EXPECT_LT(Running(project).Stop(), 1100ms);
  EXPECT_TRUE(log.Contains("data_logger.json' : top level : expected an object, found array", "ERROR"));
  Write({{"measurements", {5, {{"id", "no cycle"}}, Measurement("ok", 100)}}});
  auto program = Program();  // without a database the program fails, for its supervisor to see
  ASSERT_TRUE(program->Wait(10s));
  EXPECT_EQ(1, program->ExitCode());
  EXPECT_TRUE(Logged("No usable database in "));
  DataLogger logger;
  EXPECT_TRUE(logger.Initial(project.Path()));
  EXPECT_TRUE(log.Contains("data_logger.json' : database : expected an object, found nothing", "ERROR"));
  EXPECT_FALSE(logger.Client()->Driver());
  ASSERT_EQ(1u, logger.Measurements().size());
  EXPECT_EQ("ok", logger.Measurements().front()->Name());
  logger.Stop();
  auto done = std::async(std::launch::async, [&] { logger.Run(); });
  EXPECT_EQ(std::future_status::ready, done.wait_for(1500ms));
  logger.Stop();
}

// Fields by key or index ("1" is "arr", nulls skipped; "2" never read).
TEST_F(Service, ProgramWritesEachMeasurementOnItsCycleAndAKillLosesNothingCommitted) {
  daq.SetValues(
      {{"dev", {{"t", 21.456}, {"n", 5000000000LL}, {"s", "a \"b\""}, {"on", true}, {"arr", {1, nullptr, 2}}}}});
  json cfg = {
      {"database", Database("cycles", 0)},
      {"measurements",
       {{{"id", "fast"}, {"cycle_ms", 200}, {"fields", {{"t", Field("t")}, {"n", Field("n")}, {"s", Field("s")}}}},
        {{"id", "slow one"}, {"cycle_ms", 1000}, {"fields", {Field("on"), Field("arr"), Field("gone")}}}}}};
  {  // killed while a write hangs: every point read is in the queue already
    ScriptedPeer hanging(Hold);
    cfg["database"]["influxdb"]["port"] = hanging.Port();
    Write(cfg);
    auto program = Program();
    ASSERT_TRUE(WaitUntil([&] { return Logged("InfluxDB Target"); }, 10s));
    std::this_thread::sleep_for(2s);
    program->Kill();
  }
  cfg["database"]["influxdb"]["port"] = own.Port();
  Write(cfg);
  std::string lines;  // what the queue had committed
  {
    PointStore store;
    std::int64_t last = 0;
    ASSERT_TRUE(store.Open(project.File("queue"), {}));
    EXPECT_GE(store.Peek(100000, lines, last), 10u);
  }
  ASSERT_TRUE(own.Start());
  auto program = Program();
  ASSERT_TRUE(WaitUntil([&] { return QueryPoints(own, "cycles", "slow one").size() >= 5; }, 10s));
  program->Signal(SIGINT);
  ASSERT_TRUE(program->Wait(3s));
  EXPECT_EQ(0, program->ExitCode());
  EXPECT_TRUE(Logged("Signal Code = 2"));
  auto fast = QueryPoints(own, "cycles", "fast"), slow = QueryPoints(own, "cycles", "slow one");
  std::multiset<json> times;
  for (const auto& row : fast) times.insert(row["time"]);
  for (const auto& row : slow) times.insert(row["time"]);
  std::istringstream in(lines);
  for (std::string line; std::getline(in, line);)
    EXPECT_EQ(1u, times.count(std::stoll(line.substr(line.rfind(' ') + 1)))) << line;
  EXPECT_NEAR(5.25, double(fast.size()) / slow.size(), 1.25) << fast.size() << " / " << slow.size();
  EXPECT_NEAR(200e6, double(fast[2]["time"].get<std::int64_t>() - fast[1]["time"].get<std::int64_t>()), 100e6);
  fast[0].erase("time");
  slow[0].erase("time");
  EXPECT_EQ(json::parse(R"({"n":5000000000,"s":"a \"b\"","t":21.456})"), fast[0]);
  EXPECT_EQ(json::parse(R"({"0":true,"10":1,"12":2})"), slow[0]);
}

// influxd away for 8 s, the logger restarted inside the outage.
TEST_F(Service, NoPointIsLostWhileTheDatabaseIsAwayNorAcrossALoggerRestart) {
  ASSERT_TRUE(own.Start());
  Write({{"database", Database("outage", own.Port())},
         {"queue", {{"path", "queue"}, {"retry_min_ms", 100}, {"retry_max_ms", 1000}}},
         {"measurements", {Measurement("a", 200), Measurement("b", 200), Measurement("c", 200)}}});
  std::int64_t restartedAt = 0;
  std::uint64_t read = 0;
  {
    Running first(project);
    ASSERT_TRUE(WaitUntil([&] { return QueryPoints(own, "outage", "a").size() >= 3; }, 10s));
    own.Stop();
    std::this_thread::sleep_for(4s);  // the first half of the outage
    first.Stop();
    restartedAt = WallNs();
    read = first.logger.PointsRead();
  }
  Running second(project);
  std::this_thread::sleep_for(4s);  // the second half
  ASSERT_TRUE(own.Start());
  ASSERT_TRUE(WaitUntil([&] { return log.Contains("Point Queue Empty", "INFO"); }, 20s));
  second.Stop();
  read += second.logger.PointsRead();
  EXPECT_EQ(2, log.Count("InfluxDB Write Failed! Code -3", "ERROR"));  // once per outage and logger
  std::uint64_t stored = 0;
  for (const char* m : {"a", "b", "c"}) {
    const auto rows = QueryPoints(own, "outage", m);
    stored += rows.size();
    // A lost point makes a step two cycles; the restart's own gap is left out.
    for (std::size_t i = 1; i < rows.size(); ++i) {
      const auto a = rows[i - 1]["time"].get<std::int64_t>(), b = rows[i]["time"].get<std::int64_t>();
      EXPECT_TRUE(b - a < 390000000 || (a < restartedAt && b >= restartedAt)) << m << ": " << b - a;
    }
  }
  // All read but those of the pass each stop cut short.
  EXPECT_TRUE(stored > 120 && stored <= read && stored + 6 >= read) << stored << " of " << read;
}

// Failed reads write no point (nothing stale); the self-metrics count it all.
TEST_F(Service, FullQueueDropsTheOldestAndRefusedBatchesAreNotRetried) {
  Write({{"database", Database("bounds", own.Port())},
         {"queue", {{"path", "queue"}, {"max_points", 10}, {"retry_min_ms", 50}, {"retry_max_ms", 100}}},
         {"self_metrics", {{"interval_s", 1}}},
         {"measurements", {Measurement("m", 50)}}});
  const std::int64_t begun = WallNs();
  Running running(project, 300);
  auto& logger = running.logger;
  ASSERT_TRUE(WaitUntil([&] { return logger.PointsRead() >= 40; }, 10s));
  ASSERT_TRUE(own.Start());
  const std::int64_t started = WallNs();
  ASSERT_TRUE(WaitUntil([&] { return log.Contains("Point Queue Empty", "INFO"); }, 20s));
  EXPECT_EQ(1, log.Count("Point Queue Full! oldest points dropped", "ERROR"));
  auto rows = QueryPoints(own, "bounds", "m");
  const auto queued = std::count_if(rows.begin(), rows.end(), [&](const json& r) { return r["time"] < started; });
  EXPECT_TRUE(queued >= 1 && queued <= 10) << queued;
  EXPECT_GT(rows.front()["time"], begun + 1000000000);  // 40 read, 10 kept: the oldest went

  daq.SetValues({{"dev", {{"t", "text"}}}});
  ASSERT_TRUE(WaitUntil([&] { return log.Count("points dropped]", "ERROR") >= 5; }, 10s));
  daq.SetValues({{"dev", {{"t", 2.5}}}});
  ASSERT_TRUE(WaitUntil([&] { return QueryPoints(own, "bounds", "m").back()["t"] == 2.5; }, 10s));
  const int refusals = log.Count("points dropped]", "ERROR");
  int episodes = 0;  // an error, wrong shapes, silence: each one episode without values or points
  for (const char* mode : {"error", "array", "values_array", "silent"}) {
    daq.SetValues({{"dev", {{"t", 2.5}}}}, mode);
    ASSERT_TRUE(WaitUntil([&] { return log.Count("m : no value from dev for t", "WARNING") > episodes; }, 10s));
    const std::int64_t from = WallNs();
    std::this_thread::sleep_for(300ms);            // six cycles without values
    const std::int64_t to = WallNs() - 150000000;  // a point is stamped before its read
    daq.SetValues({{"dev", {{"t", 2.5 + ++episodes}}}});
    ASSERT_TRUE(WaitUntil([&] { return QueryPoints(own, "bounds", "m").back()["t"] == 2.5 + episodes; }, 10s));
    rows = QueryPoints(own, "bounds", "m");
    EXPECT_EQ(
        0, std::count_if(rows.begin(), rows.end(), [&](const json& r) { return r["time"] >= from && r["time"] <= to; }))
        << mode;
  }
  EXPECT_EQ(4, log.Count("Measurement m : values from dev again", "INFO"));
  ASSERT_TRUE(WaitUntil([&] { return QueryPoints(own, "bounds", "pemrix_logger").size() >= 2; }, 10s));
  EXPECT_EQ(refusals, log.Count("points dropped]", "ERROR"));
  const json metrics = QueryPoints(own, "bounds", "pemrix_logger").back();
  EXPECT_TRUE(metrics["points_dropped"] >= 10 && metrics["points_refused"] >= 5 && metrics["failed_reads"] >= 3 &&
              metrics["queue_points"] == 0)
      << metrics;
}

// A database trickling its answer holds the writer only: reads keep their cycle.
TEST_F(Service, AHostilePeerAndManyMeasurementsNeverDelayReadsOrTheStop) {
  ScriptedPeer peer(Answer("HTTP/1.1 200 OK\r\nContent-Length: 900\r\n\r\n", std::string(900, 'b'), 300ms));
  json many = json::array();
  for (int i = 0; i < 10000; ++i) many.push_back(Measurement("m" + std::to_string(i), 100));
  for (bool hostile : {true, false}) {
    Write({{"database", Database("hostile", hostile ? peer.Port() : SharedInflux().Port())},
           {"measurements", hostile ? json::array({Measurement("m", 100)}) : many}});
    Running running(project);
    EXPECT_TRUE(WaitUntil([&] { return running.logger.PointsRead() >= (hostile ? 15u : 12000u); }, hostile ? 3s : 60s));
    EXPECT_LT(running.Stop(), 1000ms);
  }
}

// The stand-in silent for a while (kOutage; the case in the field lasted 20 s):
// one time-out (the calls to both devices are in flight together), then reads
// fail at once while the self-metrics flow; on recovery no burst of stale
// samples, and the skip is logged once.
TEST_F(Service, AnAcquisitionOutageCostsOneTimeOutAndReplaysNothing) {
  constexpr auto kOutage = 2s;
  json list = json::array();
  for (int i = 0; i < 10; ++i) list.push_back(Measurement("o" + std::to_string(i), 100, i % 2 ? "dev2" : "dev"));
  Write({{"database", Database("daq_outage", SharedInflux().Port())},
         {"self_metrics", {{"interval_s", 1}}},
         {"measurements", list}});
  const auto values = [](double t) { return json({{"dev", {{"t", t}}}, {"dev2", {{"t", t}}}}); };
  daq.SetValues(values(1.5));
  Running running(project, 300);
  ASSERT_TRUE(WaitUntil([&] { return running.logger.PointsRead() >= 30; }, 10s));
  daq.SetValues(values(1.5), "silent");
  const std::int64_t silent = WallNs();
  ASSERT_TRUE(WaitUntil([&] { return log.Contains("no answer, reads of dev2 fail at once", "ERROR"); }, 5s));
  std::this_thread::sleep_for(kOutage);
  const std::int64_t back = WallNs();
  daq.SetValues(values(2.5));
  const auto both = [&](const std::string& a, const std::string& b, const char* level) {
    return log.Count(a + "dev" + b, level) + log.Count(a + "dev2" + b, level);
  };
  ASSERT_TRUE(WaitUntil([&] { return both("values from ", " again", "INFO") == 10; }, 15s));
  const auto stored = [&](const std::string& m) { return QueryPoints(SharedInflux(), "daq_outage", m); };
  ASSERT_TRUE(WaitUntil([&] { return stored("o9").size() > 0 && stored("o9").back()["t"] == 2.5; }, 10s));
  EXPECT_EQ(json({2, 1, 10}), json({log.Count("ReadParameter answers again : dev", "INFO"),  // each device
                                    log.Count("Measurements behind their cycle : ", "WARNING"),
                                    both("no value from ", " for t (read failed)", "WARNING")}));
  for (int i = 0; i < 10; ++i) {
    const auto rows = stored("o" + std::to_string(i));
    for (std::size_t r = 1; r < rows.size(); ++r) {  // no burst of replayed cycles, and nothing stale
      const std::int64_t t = rows[r]["time"];
      EXPECT_GT(t - rows[r - 1]["time"].get<std::int64_t>(), 10000000) << i;
      EXPECT_FALSE(t > silent + 400000000 && t < back - 150000000) << i;
    }
  }
  const auto metrics = stored("pemrix_logger");  // flowing through the outage
  EXPECT_TRUE(std::any_of(metrics.begin(), metrics.end(),
                          [&](auto& r) { return r["time"] > silent + 1e9 && r["time"] < back; }));
  EXPECT_GT(metrics.back()["cycles_skipped"], 0);
  // The queue's journal is copied into its file while the logger runs.
  EXPECT_GT(std::filesystem::file_size(project.File("queue/points.sqlite")), 4096u);
}
