// Measurements: configuration entries, schedule, and reads from a real
// JSON-RPC acquisition stand-in over IPC.
#include <gtest/gtest.h>

#include <thread>

#include "DAQServiceProxy.h"
#include "DBMeasurement.h"
#include "DataLoggerTestSupport.h"
#include "LogCapture.h"

using namespace VESK;
using namespace std::chrono_literals;
using nlohmann::json;
using pemrix::testing::FakeDaq;
using pemrix::testing::LogCapture;

namespace {

json Field(const std::string& device, const std::string& tag) { return {{"device_id", device}, {"tag_id", tag}}; }

std::vector<std::string> Names(const DBMeasurement& m) {
  std::vector<std::string> names;
  for (const auto& f : m.Fields()) names.push_back(f->Name());
  return names;
}

}  // namespace

TEST(MeasurementConfig, FieldFormsNamingAndCycle) {
  DBMeasurement byKey(nullptr);
  ASSERT_TRUE(byKey.LoadFromJSON(json::parse(
      R"({"id":"m","cycle_ms":250.9,"fields":{"b":{"device_id":"d","tag_id":"tb"},"a":{"device_id":"d","tag_id":"ta"},"x":5}})")));
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), Names(byKey));
  EXPECT_EQ("ta", byKey.Fields()[0]->TagId());
  EXPECT_EQ(250, byKey.Cycle());

  DBMeasurement byIndex(nullptr);
  ASSERT_TRUE(
      byIndex.LoadFromJSON({{"id", "m"}, {"cycle_ms", 100}, {"fields", {5, Field("d", "t0"), Field("d", "t1")}}}));
  EXPECT_EQ((std::vector<std::string>{"1", "2"}), Names(byIndex));

  DBMeasurement none(nullptr);
  ASSERT_TRUE(none.LoadFromJSON({{"id", "m"}, {"cycle_ms", 100}}));
  EXPECT_TRUE(none.Fields().empty());
}

TEST(MeasurementConfig, BadEntriesAreRefusedWithAReason) {
  const json bad[] = {
      json::array(),
      {{"cycle_ms", 100}},
      {{"id", ""}, {"cycle_ms", 100}},
      {{"id", "a\nb"}, {"cycle_ms", 100}},
      {{"id", "m"}},
      {{"id", "m"}, {"cycle_ms", "100"}},
      {{"id", "m"}, {"cycle_ms", 0}},
      {{"id", "m"}, {"cycle_ms", -5}},
      {{"id", "m"}, {"cycle_ms", 0.5}},
      {{"id", "m"}, {"cycle_ms", 1e12}},
      {{"id", "m"}, {"cycle_ms", 100}, {"fields", "t"}},
      {{"id", "m"}, {"cycle_ms", 100}, {"fields", {{"a", {{"device_id", "d"}}}}}},
      {{"id", "m"}, {"cycle_ms", 100}, {"fields", {{"a", {{"device_id", 1}, {"tag_id", "t"}}}}}},
  };
  LogCapture log;
  for (const auto& entry : bad) {
    log.Clear();
    DBMeasurement m(nullptr);
    EXPECT_FALSE(m.LoadFromJSON(entry)) << entry.dump();
    EXPECT_EQ(1, log.Count("Load DBMeasurement Failed! ", "ERROR")) << entry.dump();
  }
}

TEST(MeasurementSchedule, FixedRateOnTheMonotonicClock) {
  auto proxy = std::make_shared<DAQServiceProxy>("ipc:///nonexistent/none.ipc", 50);
  DBMeasurement m(proxy);
  ASSERT_TRUE(m.LoadFromJSON({{"id", "m"}, {"cycle_ms", 200}}));
  const auto due = m.DueTime();
  EXPECT_FALSE(m.Update(due - 1ns));
  EXPECT_EQ(due, m.DueTime());
  EXPECT_TRUE(m.Update(due + 50ms));
  EXPECT_EQ(due + 200ms, m.DueTime());  // from the due time, not from now
  // Late by more than a cycle: due again at once, one cycle per update.
  EXPECT_TRUE(m.Update(due + 450ms));
  EXPECT_TRUE(m.Update(due + 450ms));
  EXPECT_FALSE(m.Update(due + 450ms));
  EXPECT_EQ(due + 600ms, m.DueTime());
}

class Acquisition : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(daq.Start()); }
  FakeDaq daq;
};

TEST_F(Acquisition, ReadsValuesOfEveryShape) {
  daq.SetValues({{"dev", {{"n", 42}, {"f", 1.25}, {"s", "x"}, {"arr", {1, 2}}, {"b", true}}}});
  DAQServiceProxy proxy(daq.Endpoint(), 2000);
  for (const auto& tag : {"n", "f", "s", "arr", "b"}) {
    json value;
    EXPECT_TRUE(proxy.Read("dev", tag, value)) << tag;
    EXPECT_EQ(json({{"dev", {{"n", 42}, {"f", 1.25}, {"s", "x"}, {"arr", {1, 2}}, {"b", true}}}})["dev"][tag], value);
  }
  json value = 5;
  EXPECT_TRUE(proxy.Read("dev", "missing", value));
  EXPECT_TRUE(value.is_null());
}

TEST_F(Acquisition, FailedReadsKeepTheLastValue) {
  daq.SetValues({{"dev", {{"t", 7}}}});
  DAQServiceProxy proxy(daq.Endpoint(), 300);
  json value;
  ASSERT_TRUE(proxy.Read("dev", "t", value));
  LogCapture log;
  for (const auto& mode : {"error", "array", "values_array"}) {
    daq.SetMode(mode);
    EXPECT_FALSE(proxy.Read("dev", "t", value)) << mode;
    EXPECT_EQ(7, value) << mode;
  }
  EXPECT_EQ(2, log.Count("ReadParameter Result Invalid! dev/t", "ERROR"));

  // A service that does not answer costs the time-out, then reads resume.
  daq.SetMode("silent");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(proxy.Read("dev", "t", value));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
  EXPECT_EQ(7, value);
  daq.SetValues({{"dev", {{"t", 8}}}});
  EXPECT_TRUE(pemrix::testing::WaitUntil([&] { return proxy.Read("dev", "t", value) && value == 8; }, 5s));
}

TEST_F(Acquisition, UpdateStampsTheWallClockAndRepeatsTheLastGoodValue) {
  daq.SetValues({{"dev", {{"a", 1}, {"b", "on"}}}});
  auto proxy = std::make_shared<DAQServiceProxy>(daq.Endpoint(), 300);
  DBMeasurement m(proxy);
  ASSERT_TRUE(m.LoadFromJSON(
      {{"id", "m"}, {"cycle_ms", 10}, {"fields", {{"x", Field("dev", "a")}, {"y", Field("dev", "b")}}}}));
  ASSERT_TRUE(m.Update(m.DueTime()));
  EXPECT_EQ(json::parse(R"({"x":1,"y":"on"})"), m.ToJSON()["fields"]);
  const auto first = m.Timestamp();
  daq.SetMode("error");
  std::this_thread::sleep_for(2ms);  // a distinct wall-clock stamp, not a wait for a condition
  ASSERT_TRUE(m.Update(m.DueTime()));
  EXPECT_EQ(json::parse(R"({"x":1,"y":"on"})"), m.ToJSON()["fields"]);
  EXPECT_GT(m.Timestamp(), first);
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::nanoseconds>(m.Timestamp().time_since_epoch()).count(),
            m.ToJSON()["timestamp"].get<std::int64_t>());
}
