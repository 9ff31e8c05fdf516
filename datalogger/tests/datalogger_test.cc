// The data logger service end to end: configuration file, acquisition
// stand-in over IPC, real influxd.
#include "DataLogger.h"

#include <gtest/gtest.h>

#include <csignal>
#include <future>
#include <thread>

#include "AppConfig.h"
#include "DBClient.h"
#include "DBMeasurement.h"
#include "DataLoggerTestSupport.h"
#include "LogCapture.h"

using namespace VESK;
using namespace std::chrono_literals;
using nlohmann::json;
using namespace pemrix::testing;

namespace {

json Field(const std::string& tag) { return {{"device_id", "dev"}, {"tag_id", tag}}; }

json Database(const std::string& db, int port) {
  return {{"driver", "influxdb"}, {"influxdb", {{"host", "127.0.0.1"}, {"port", port}, {"database_name", db}}}};
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
  void Write(const json& cfg) { WriteFile(project.File("data_logger.json"), cfg.dump()); }

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
  WriteFile(work.File("app.conf"), json({{"project_path", project.Path()}, {"daq_api", daq.Endpoint()}}).dump());
  WriteFile(work.File("log.conf"), "* GLOBAL:\n  TO_FILE = true\n  FILENAME = \"" + work.File("datalogger.log") +
                                       "\"\n  TO_STANDARD_OUTPUT = false\n");
  Process program({{BinPath("Pemrix.DataLogger")}, work.Path(), {}, work.File("out.txt")});
  ASSERT_TRUE(program.Start());
  ASSERT_TRUE(WaitUntil([&] { return QueryPoints(influx, "cycles", "slow one").size() >= 3; }, 10s));
  program.Signal(SIGINT);
  ASSERT_TRUE(program.Wait(3s));
  EXPECT_EQ(0, program.ExitCode());
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

TEST_F(Service, OutagesOfEitherPeerNeverStopTheLoop) {
  InfluxServer own;  // stopped and started, so not the shared one
  daq.SetValues({{"dev", {{"t", 1.5}}}});
  Write({{"database", Database("outages", own.Port())},
         {"measurements", {{{"id", "m"}, {"cycle_ms", 100}, {"fields", {{"t", Field("t")}}}}}}});
  DataLogger logger(300);
  ASSERT_TRUE(logger.Initial(project.Path()));
  auto keepsWriting = [&] {
    const auto before = QueryPoints(own, "outages", "m").size();
    return WaitUntil([&] { return QueryPoints(own, "outages", "m").size() >= before + 3; }, 10s);
  };
  LogCapture log;
  // Down at start: the database is created once the server answers.
  RunningLogger running(logger);
  ASSERT_TRUE(WaitUntil([&] { return log.Contains("InfluxDB Write Failed! m Code -3", "ERROR"); }, 5s));
  ASSERT_TRUE(own.Start());
  ASSERT_TRUE(keepsWriting());
  EXPECT_EQ(1, log.Count("InfluxDB Write Failed! m Code -3", "ERROR"));  // one line per outage
  EXPECT_TRUE(log.Contains("InfluxDB Reachable Again, Lost Points ", "INFO"));
  // Failed reads (an error, results of the wrong shape), then a service that
  // never answers: the last good value is written on under new timestamps;
  // silence only delays each pass by the time-out.
  for (const char* mode : {"error", "array", "values_array", "silent"}) {
    daq.SetMode(mode);
    ASSERT_TRUE(keepsWriting()) << mode;
  }
  for (auto& row : QueryPoints(own, "outages", "m")) EXPECT_EQ(1.5, row["t"]);
  EXPECT_TRUE(log.Contains("ReadParameter Result Invalid! dev/t", "ERROR"));
  // influxd stopped and started again, the service back: new values arrive.
  own.Stop();
  daq.SetValues({{"dev", {{"t", 2.5}}}});
  ASSERT_TRUE(own.Start());
  ASSERT_TRUE(WaitUntil(
      [&] {
        auto rows = QueryPoints(own, "outages", "m");
        return !rows.empty() && rows.back()["t"] == 2.5;
      },
      10s));
  EXPECT_EQ(1, log.Count("InfluxDB Create DB Failed! Code -3", "ERROR"));
  EXPECT_LT(running.Stop(), 1500ms);
}
