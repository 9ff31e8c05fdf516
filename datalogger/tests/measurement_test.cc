// Measurements: configuration entries, the schedule and the reads' calls.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "AppConfig.h"
#include "DAQServiceProxy.h"
#include "DBMeasurement.h"
#include "DataLogger.h"
#include "JsonRpcServer.h"
#include "LogCapture.h"
#include "TestSupport.h"

using namespace VESK;
using namespace std::chrono_literals;
using nlohmann::json;

// Field names sorted by key, or the entry's index.
TEST(MeasurementConfig, EntriesLoadOrAreRefusedWithAReason) {
  const json good = json::parse(R"([
      [{"id":"m","cycle_ms":100.0,"fields":{"b":{"device_id":"d","tag_id":"t"},"a":{"device_id":"d","tag_id":"t"}}},
       ["a","b"]], [{"id":"m","cycle_ms":100}, []],
      [{"id":"m","cycle_ms":100,"fields":[5,{"device_id":"d","tag_id":"t"}]}, ["1"]],
      [{"id":"m","cycle_ms":250.9}, [], 250]])");
  const json bad = json::parse(R"([[], {"cycle_ms":100}, {"id":"","cycle_ms":100}, {"id":"a\nb","cycle_ms":100},
      {"id":"m"}, {"id":"m","cycle_ms":"100"}, {"id":"m","cycle_ms":0}, {"id":"m","cycle_ms":0.9},
      {"id":"m","cycle_ms":1e12}, {"id":"m","cycle_ms":100,"fields":"t"},
      {"id":"m","cycle_ms":100,"fields":{"a":{"device_id":"d"}}},
      {"id":"m","cycle_ms":100,"fields":{"a":{"device_id":1,"tag_id":"t"}}}])");
  pemrix::testing::LogCapture log;
  for (const auto& row : good) {
    DBMeasurement m(nullptr);
    ASSERT_TRUE(m.LoadFromJSON(row[0])) << row;
    json names = json::array();
    for (const auto& f : m.Fields()) names.push_back(f->Name());
    EXPECT_EQ(row[1], names);
    EXPECT_EQ(row.size() > 2 ? row[2].get<int>() : 100, m.Cycle());
  }
  // Files that ran before keep running: the fraction is cut, with a warning.
  EXPECT_EQ(1, log.Count("measurement.cycle_ms : fraction 250.9 truncated to 250", "WARNING"));
  for (const auto& entry : bad) {
    log.Clear();
    EXPECT_FALSE(DBMeasurement(nullptr).LoadFromJSON(entry)) << entry;
    EXPECT_EQ(1, log.Count("Load DBMeasurement Failed! ", "ERROR")) << entry;
  }
}

TEST(MeasurementSchedule, FixedRateOnTheMonotonicClock) {
  DBMeasurement m(std::make_shared<DAQServiceProxy>("ipc:///nonexistent/none.ipc", 50));
  ASSERT_TRUE(m.LoadFromJSON({{"id", "m"}, {"cycle_ms", 200}}));
  const auto due = m.DueTime();
  EXPECT_FALSE(m.Update(due - 1ns));
  EXPECT_TRUE(m.Update(due + 50ms));
  EXPECT_EQ(due + 200ms, m.DueTime());  // from the due time, not from now
  // Late by more than a cycle: the missed cycle is skipped, not replayed.
  EXPECT_TRUE(m.Update(due + 450ms));
  EXPECT_FALSE(m.Update(due + 450ms));
  EXPECT_EQ(due + 600ms, m.DueTime());
  EXPECT_EQ(1u, m.TakeSkipped());
  EXPECT_EQ(0u, m.TakeSkipped());
}

namespace {
// "<device>.<tag>" for every tag but "no"; records each call's parameters.
struct RecordingStub : JsonRpcStub {
  bool Invoke(json& request, json& response) override {
    const json& params = request["params"];
    const std::string device = params["device_id"];
    json values = json::object();
    for (const std::string tag : params["parameters"])
      if (tag != "no") values[tag] = device + "." + tag;
    {
      std::lock_guard<std::mutex> lock(mutex);
      calls.push_back(params);
    }
    response = {{"jsonrpc", "2.0"}, {"id", request["id"]}, {"result", {{"values", values}}}};
    return true;
  }
  json Calls() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }
  std::mutex mutex;
  json calls = json::array();
};

// The stub served on an endpoint of its own.
class MeasurementReads : public ::testing::Test {
 protected:
  void SetUp() override {
    server.Add(stub);
    server.Start();
  }
  pemrix::testing::TempDir dir;
  std::shared_ptr<RecordingStub> stub = std::make_shared<RecordingStub>();
  JsonRpcServer server{dir.Ipc("daq")};
};
}  // namespace

TEST_F(MeasurementReads, OneCallPerDeviceOrPerFieldAMissingTagFailsAlone) {
  pemrix::testing::LogCapture log;
  const json entry = json::parse(R"({"id":"m","cycle_ms":10,"fields":{"a":{"device_id":"d1","tag_id":"x"},
      "b":{"device_id":"d2","tag_id":"y"},"c":{"device_id":"d1","tag_id":"no"},"d":{"device_id":"d1","tag_id":"x"}}})");
  const std::pair<bool, const char*> cases[] = {
      {false, R"([{"device_id":"d1","parameters":["x","no"]},{"device_id":"d2","parameters":["y"]}])"},
      {true, R"([{"device_id":"d1","parameters":["x"]},{"device_id":"d2","parameters":["y"]},
                 {"device_id":"d1","parameters":["no"]},{"device_id":"d1","parameters":["x"]}])"}};
  for (const auto& [onePerField, calls] : cases) {
    auto proxy = std::make_shared<DAQServiceProxy>(dir.Ipc("daq"), 5000);
    DBMeasurement m(proxy);
    ASSERT_TRUE(m.LoadFromJSON(entry));
    m.SetOneTagPerCall(onePerField);
    m.Fields()[2]->Value() = "old";
    stub->calls = json::array();
    log.Clear();
    ASSERT_TRUE(m.Update(m.DueTime()));
    EXPECT_EQ(json::parse(calls), stub->calls);
    json values = json::array();
    for (const auto& f : m.Fields()) values.push_back(f->Value());
    EXPECT_EQ(json({"d1.x", "d2.y", nullptr, "d1.x"}), values);  // no stale "old"
    ASSERT_TRUE(m.Update(m.DueTime()));
    EXPECT_EQ(2u, proxy->failedReads.load());
    EXPECT_EQ(1, log.Count("Measurement m : no value from d1 for no (not in the answer or null)", "WARNING"));
  }
}

// Measurements that fall due together share one call per device, each tag once.
TEST_F(MeasurementReads, ThePassReadsEachDeviceOnce) {
  AppConfig::Instance._daqApi = dir.Ipc("daq");
  pemrix::testing::WriteFile(dir.File("data_logger.json"), R"({"measurements":[
      {"id":"a","cycle_ms":50,"fields":{"f":{"device_id":"d1","tag_id":"x"},"g":{"device_id":"d2","tag_id":"y"}}},
      {"id":"b","cycle_ms":50,"fields":{"f":{"device_id":"d1","tag_id":"z"},"g":{"device_id":"d1","tag_id":"x"}}}]})");
  DataLogger logger;
  ASSERT_TRUE(logger.Initial(dir.Path()));
  std::thread loop([&] { logger.Run(); });
  const bool read = pemrix::testing::WaitUntil([&] { return stub->Calls().size() >= 2; }, 10s);
  logger.Stop();
  loop.join();
  ASSERT_TRUE(read);
  // The two calls are in flight together: either may arrive first.
  std::vector<json> calls{stub->Calls()[0], stub->Calls()[1]};
  std::sort(calls.begin(), calls.end());
  EXPECT_EQ(json::parse(R"([{"device_id":"d1","parameters":["x","z"]},{"device_id":"d2","parameters":["y"]}])"),
            json(calls));
}
