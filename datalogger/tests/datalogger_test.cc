// The data logger service end to end: configuration file, acquisition
// stand-in over IPC, real influxd.
#include "DataLogger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
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
#include "ScriptedPeer.h"

using namespace VESK;
using namespace std::chrono_literals;
using nlohmann::json;
using namespace pemrix::testing;

namespace {

json Field(const std::string& tag) { return {{"device_id", "dev"}, {"tag_id", tag}}; }

json Database(const std::string& db, int port) {
  return {{"driver", "influxdb"}, {"influxdb", {{"host", "127.0.0.1"}, {"port", port}, {"database_name", db}}}};
}

json Measurement(const std::string& id, int cycleMs) {
  return {{"id", id}, {"cycle_ms", cycleMs}, {"fields", {{"t", Field("t")}}}};
}

// Largest step between the stored points' times, in ms, skipping the one
// step that starts at or after skipFrom (ns, 0: none).
double LargestGapMs(const std::vector<json>& rows, std::int64_t skipFrom = 0) {
  double gap = 0;
  bool skipped = false;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    const auto a = rows[i - 1]["time"].get<std::int64_t>(), b = rows[i]["time"].get<std::int64_t>();
    if (skipFrom && !skipped && b >= skipFrom) {
      skipped = true;
      continue;
    }
    gap = std::max(gap, (b - a) / 1e6);
  }
  return gap;
}

std::int64_t WallNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A DataLogger running on its own thread, stopped and joined on every path.
class RunningLogger {
 public:
  explicit RunningLogger(DataLogger& logger) : _logger(logger), _thread([&logger] { logger.Run(); }) {}
  ~RunningLogger() { Stop(); }
  // Stops and returns how long Run took to return.
  std::chrono::milliseconds Stop() {
    const auto start = std::chrono::steady_clock::now();
    _logger.Stop();
    if (_thread.joinable()) _thread.join();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  }

 private:
  DataLogger& _logger;
  std::thread _thread;
};

class Service : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daq.Start());
    AppConfig::Instance._daqApi = daq.Endpoint();
  }
  // The queue stays inside the project's temporary folder unless told.
  void Write(json cfg) {
    if (cfg.is_object() && !cfg.contains("queue")) cfg["queue"] = {{"path", "queue"}};
    WriteFile(project.File("data_logger.json"), cfg.dump());
  }
  // The program in its own working folder, finding the project via app.conf.
  std::unique_ptr<Process> Program(const TempDir& work) {
    WriteFile(work.File("app.conf"), json({{"project_path", project.Path()}, {"daq_api", daq.Endpoint()}}).dump());
    WriteFile(work.File("log.conf"), "* GLOBAL:\n  TO_FILE = true\n  FILENAME = \"" + work.File("datalogger.log") +
                                         "\"\n  TO_STANDARD_OUTPUT = false\n");
    return std::make_unique<Process>(
        Process::Options{{BinPath("Pemrix.DataLogger")}, work.Path(), {}, work.File("out")});
  }

  TempDir project{"pemrix-project"};
  FakeDaq daq;
};

}  // namespace

TEST_F(Service, MalformedConfigurationsAreLoggedAndLeftUnconfigured) {
  LogCapture log;
  DataLogger missing;
  EXPECT_FALSE(missing.Initial(project.Path()));
  EXPECT_TRUE(log.Contains("data_logger.json' file does not exist!", "ERROR"));

  Write(json::array());
  DataLogger array;
  EXPECT_FALSE(array.Initial(project.Path()));
  EXPECT_TRUE(log.Contains("data_logger.json' : top level : expected an object, found array", "ERROR"));

  Write({{"measurements", {{"id", "m"}}}});
  DataLogger object;
  EXPECT_TRUE(object.Initial(project.Path()));
  EXPECT_TRUE(object.Measurements().empty());
  EXPECT_TRUE(log.Contains("data_logger.json' : measurements : expected an array, found object", "ERROR"));
  EXPECT_TRUE(log.Contains("data_logger.json' : database : expected an object, found nothing", "ERROR"));
  EXPECT_FALSE(object.Client()->Driver());

  Write(
      {{"database", Database("d", 1)}, {"measurements", {5, {{"id", "no cycle"}}, {{"id", "ok"}, {"cycle_ms", 100}}}}});
  DataLogger mixed;
  EXPECT_TRUE(mixed.Initial(project.Path()));
  ASSERT_EQ(1u, mixed.Measurements().size());
  EXPECT_EQ("ok", mixed.Measurements().front()->Name());
  EXPECT_TRUE(mixed.Client()->Driver());
}

TEST_F(Service, StopBeforeRunAndStopDuringSleepReturnPromptly) {
  Write({{"measurements", json::array()}});
  DataLogger logger;
  logger.Initial(project.Path());
  logger.Stop();  // a SIGINT that arrives before Run must not be forgotten
  auto done = std::async(std::launch::async, [&] { logger.Run(); });
  EXPECT_EQ(std::future_status::ready, done.wait_for(1500ms));
  logger.Stop();  // so the test ends either way
  done.get();

  DataLogger sleeping;
  sleeping.Initial(project.Path());
  RunningLogger running(sleeping);  // without measurements every pass is a 1 s sleep
  EXPECT_LT(running.Stop(), 1100ms);
}

// The program itself: it finds its project through app.conf, writes each
// measurement on its cycle with exact values, and ends on SIGINT.
TEST_F(Service, ProgramWritesEachMeasurementOnItsCycleWithExactValues) {
  auto& influx = SharedInflux();
  daq.SetValues(
      {{"dev", {{"t", 21.456}, {"n", 5000000000LL}, {"s", "a \"b\""}, {"on", true}, {"arr", {1, nullptr, 2}}}}});
  Write({{"database", Database("cycles", influx.Port())},
         {"measurements",
          {{{"id", "fast"}, {"cycle_ms", 200}, {"fields", {{"t", Field("t")}, {"n", Field("n")}, {"s", Field("s")}}}},
           {{"id", "slow one"}, {"cycle_ms", 1000}, {"fields", {Field("on"), Field("arr"), Field("gone")}}}}}});
  TempDir work{"pemrix-datalogger-run"};
  auto program = Program(work);
  ASSERT_TRUE(program->Start());
  ASSERT_TRUE(WaitUntil([&] { return QueryPoints(influx, "cycles", "slow one").size() >= 3; }, 10s));
  program->Signal(SIGINT);
  ASSERT_TRUE(program->Wait(3s));
  EXPECT_EQ(0, program->ExitCode());
  EXPECT_NE(std::string::npos, ReadFile(work.File("datalogger.log")).find("Signal Code = 2"));

  EXPECT_NE(std::string::npos, influx.Query("", "SHOW DATABASES").find("\"cycles\""));
  auto fast = QueryPoints(influx, "cycles", "fast");
  auto slow = QueryPoints(influx, "cycles", "slow one");
  const double ratio = double(fast.size()) / slow.size();
  EXPECT_GE(ratio, 4.0) << fast.size() << " / " << slow.size();
  EXPECT_LE(ratio, 6.5) << fast.size() << " / " << slow.size();
  // The fast points follow the cycle: 200 ms apart give or take one pass.
  const auto step = fast[2]["time"].get<std::int64_t>() - fast[1]["time"].get<std::int64_t>();
  EXPECT_NEAR(200e6, double(step), 100e6);
  // Exactly the fields that hold values, by key or by index ("1" is the
  // array of "arr": nulls skipped; "2" was never read).
  fast[0].erase("time");
  slow[0].erase("time");
  EXPECT_EQ(json::parse(R"({"n":5000000000,"s":"a \"b\"","t":21.456})"), fast[0]);
  EXPECT_EQ(json::parse(R"({"0":true,"10":1,"12":2})"), slow[0]);
}

// influxd stopped for 8 s under three 200 ms measurements, the logger
// itself restarted inside the outage: every point read arrives with its
// original time, the only larger gap being the logger's own restart.
TEST_F(Service, NoPointIsLostWhileTheDatabaseIsAwayNorAcrossALoggerRestart) {
  InfluxServer own;  // stopped and started, so not the shared one
  ASSERT_TRUE(own.Start());
  daq.SetValues({{"dev", {{"t", 1.5}}}});
  const json measurements = {Measurement("a", 200), Measurement("b", 200), Measurement("c", 200)};
  Write({{"database", Database("outage", own.Port())},
         {"queue", {{"path", "queue"}, {"retry_min_ms", 100}, {"retry_max_ms", 1000}}},
         {"measurements", measurements}});
  LogCapture log;
  std::int64_t restartedAt = 0;
  std::uint64_t read = 0;
  {
    DataLogger first;
    first.Initial(project.Path());
    RunningLogger running(first);
    ASSERT_TRUE(WaitUntil([&] { return QueryPoints(own, "outage", "a").size() >= 3; }, 10s));
    own.Stop();
    std::this_thread::sleep_for(4s);  // the first half of the outage
    running.Stop();
    restartedAt = WallNs();
    read = first.PointsRead();
  }
  DataLogger second;
  second.Initial(project.Path());
  RunningLogger running(second);
  std::this_thread::sleep_for(4s);  // the second half
  ASSERT_TRUE(own.Start());
  ASSERT_TRUE(WaitUntil([&] { return log.Contains("Point Queue Empty", "INFO"); }, 20s));
  running.Stop();
  read += second.PointsRead();
  EXPECT_EQ(2, log.Count("InfluxDB Write Failed! Code -3", "ERROR"));  // once per outage and logger
  // Every point read is stored but those of the pass each stop cut short.
  std::uint64_t stored = 0;
  for (const auto& m : measurements) {
    const auto rows = QueryPoints(own, "outage", m["id"]);
    stored += rows.size();
    // Timestamps are taken at the read, so a loaded machine stretches a step
    // beyond the cycle; a lost point would make it two cycles.
    EXPECT_LT(LargestGapMs(rows, restartedAt), 390) << m["id"];
  }
  EXPECT_GT(stored, 120u);
  EXPECT_LE(stored, read);
  EXPECT_GE(stored + 6, read);
}

// A queue of 10 points: the oldest go first, one ERROR per episode. A batch
// the server refuses (type conflict) is dropped once: refusals end as soon
// as the values are good again. The self-metrics show both.
TEST_F(Service, FullQueueDropsTheOldestAndRefusedBatchesAreNotRetried) {
  InfluxServer own;
  daq.SetValues({{"dev", {{"t", 1.5}}}});
  Write({{"database", Database("bounds", own.Port())},
         {"queue", {{"path", "queue"}, {"max_points", 10}, {"retry_min_ms", 50}, {"retry_max_ms", 100}}},
         {"self_metrics", {{"interval_s", 1}}},
         {"measurements", {Measurement("m", 50)}}});
  LogCapture log;
  DataLogger logger(300);
  logger.Initial(project.Path());
  const std::int64_t begun = WallNs();
  RunningLogger running(logger);
  ASSERT_TRUE(WaitUntil([&] { return logger.PointsRead() >= 40; }, 10s));
  ASSERT_TRUE(own.Start());
  const std::int64_t started = WallNs();
  ASSERT_TRUE(WaitUntil([&] { return log.Contains("Point Queue Empty", "INFO"); }, 20s));
  EXPECT_EQ(1, log.Count("Point Queue Full! oldest points dropped", "ERROR"));
  auto rows = QueryPoints(own, "bounds", "m");
  const auto queued = std::count_if(rows.begin(), rows.end(), [&](const json& r) { return r["time"] < started; });
  EXPECT_GE(queued, 1);
  EXPECT_LE(queued, 10);
  EXPECT_GT(rows.front()["time"], begun + 1000000000);  // 40 read, 10 kept: the oldest went

  daq.SetValues({{"dev", {{"t", "text"}}}});
  ASSERT_TRUE(WaitUntil([&] { return log.Count("points dropped]", "ERROR") >= 5; }, 10s));
  daq.SetValues({{"dev", {{"t", 2.5}}}});
  ASSERT_TRUE(WaitUntil([&] { return QueryPoints(own, "bounds", "m").back()["t"] == 2.5; }, 10s));
  const int refusals = log.Count("points dropped]", "ERROR");
  // Failed reads (an error, results of the wrong shape, silence) write the
  // last good value on under new timestamps.
  for (const char* mode : {"error", "array", "values_array", "silent"}) {
    daq.SetMode(mode);
    const auto before = QueryPoints(own, "bounds", "m").size();
    ASSERT_TRUE(WaitUntil([&] { return QueryPoints(own, "bounds", "m").size() >= before + 3; }, 10s)) << mode;
  }
  EXPECT_EQ(2.5, QueryPoints(own, "bounds", "m").back()["t"]);
  EXPECT_TRUE(log.Contains("ReadParameter Result Invalid! dev/t", "ERROR"));
  ASSERT_TRUE(WaitUntil([&] { return QueryPoints(own, "bounds", "pemrix_logger").size() >= 2; }, 10s));
  EXPECT_EQ(refusals, log.Count("points dropped]", "ERROR"));
  const json metrics = QueryPoints(own, "bounds", "pemrix_logger").back();
  EXPECT_GE(metrics["points_dropped"], 10);
  EXPECT_GE(metrics["points_refused"], 5);
  EXPECT_GE(metrics["failed_reads"], 3);
  EXPECT_EQ(0, metrics["queue_points"]);
}

// SIGKILL while points wait in the queue: after a restart every point the
// queue had committed is stored, once.
TEST_F(Service, PowerCutLosesNothingTheQueueHadCommitted) {
  InfluxServer own;
  daq.SetValues({{"dev", {{"t", 1.5}}}});
  Write({{"database", Database("cut", own.Port())}, {"measurements", {Measurement("m", 100)}}});
  TempDir work{"pemrix-datalogger-run"};
  auto program = Program(work);
  ASSERT_TRUE(program->Start());
  ASSERT_TRUE(
      WaitUntil([&] { return ReadFile(work.File("datalogger.log")).find("Write Failed!") != std::string::npos; }, 10s));
  std::this_thread::sleep_for(2s);  // points pile up in the queue
  program->Kill();
  std::vector<std::string> durable;  // the timestamps the queue had committed
  {
    PointStore store;
    ASSERT_TRUE(store.Open(project.File("queue"), {}));
    std::string lines;
    std::int64_t last = 0;
    store.Peek(100000, lines, last);
    std::istringstream in(lines);
    for (std::string line; std::getline(in, line);) durable.push_back(line.substr(line.rfind(' ') + 1));
  }
  ASSERT_TRUE(own.Start());
  program = Program(work);
  ASSERT_TRUE(program->Start());
  ASSERT_TRUE(WaitUntil(
      [&] { return ReadFile(work.File("datalogger.log")).find("Point Queue Empty") != std::string::npos; }, 20s));
  program->Stop(SIGINT, 3s);
  std::multiset<std::string> times;
  for (const auto& row : QueryPoints(own, "cut", "m")) times.insert(std::to_string(row["time"].get<std::int64_t>()));
  EXPECT_GE(durable.size(), 15u);
  for (const auto& time : durable) EXPECT_EQ(1u, times.count(time)) << time;
}

// A database that trickles its head or its body, or sends a body without
// end, holds the writer only: the measurements keep their cycle and a stop
// ends everything at once. So does a stop among 10,000 measurements.
TEST_F(Service, HostilePeersAndManyMeasurementsNeverDelayReadsOrTheStop) {
  using Script = ScriptedPeer::Script;
  const std::string chunk = "400\r\n" + std::string(1024, 'x') + "\r\n";
  const Script scripts[] = {
      [](ScriptedPeer& p, int fd) { p.Trickle(fd, "HTTP/1.1 204 No Content\r\n\r\n", 300ms); },
      [](ScriptedPeer& p, int fd) {
        ScriptedPeer::Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 900\r\n\r\n");
        p.Trickle(fd, std::string(900, 'b'), 300ms);
      },
      [&chunk](ScriptedPeer& p, int fd) {
        ScriptedPeer::Send(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
        p.Trickle(fd, chunk, 1ms, chunk.size(), true);
      },
  };
  daq.SetValues({{"dev", {{"t", 1.5}}}});
  for (const auto& script : scripts) {
    ScriptedPeer peer(script, true, true);
    Write({{"database", Database("hostile", peer.Port())}, {"measurements", {Measurement("m", 100)}}});
    DataLogger logger;
    logger.Initial(project.Path());
    RunningLogger running(logger);
    EXPECT_TRUE(WaitUntil([&] { return logger.PointsRead() >= 15; }, 3s));
    EXPECT_LT(running.Stop(), 1000ms);
  }

  json many = json::array();
  for (int i = 0; i < 10000; ++i) many.push_back(Measurement("m" + std::to_string(i), 100));
  Write({{"database", Database("many", SharedInflux().Port())}, {"measurements", many}});
  DataLogger logger;
  logger.Initial(project.Path());
  RunningLogger running(logger);
  ASSERT_TRUE(WaitUntil([&] { return logger.PointsRead() >= 12000; }, 60s));
  EXPECT_LT(running.Stop(), 1000ms);
}
