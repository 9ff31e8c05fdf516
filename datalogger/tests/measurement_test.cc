// Measurements: configuration entries and the schedule. Their reads are
// shown end to end in datalogger_test.cc.
#include <gtest/gtest.h>

#include <mutex>

#include "DAQServiceProxy.h"
#include "DBMeasurement.h"
#include "JsonRpcServer.h"
#include "LogCapture.h"
#include "TestSupport.h"

using namespace VESK;
using namespace std::chrono_literals;
using nlohmann::json;
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
      R"({"id":"m","cycle_ms":250.0,"fields":{"b":{"device_id":"d","tag_id":"tb"},"a":{"device_id":"d","tag_id":"ta"},"x":5}})")));
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
      {{"id", "m"}, {"cycle_ms", 250.9}},
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

namespace {

// Answers "ReadParameter" with "<device>.<tag>" for every tag but "gone",
// recording the parameters of each call.
class RecordingStub : public JsonRpcStub {
 public:
  bool Invoke(json& request, json& response) override {
    const json& params = request["params"];
    json values = json::object();
    for (const auto& tag : params["parameters"])
      if (tag != "gone")
        values[tag.get<std::string>()] = params["device_id"].get<std::string>() + "." + tag.get<std::string>();
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(params);
    response = {{"jsonrpc", "2.0"}, {"id", request["id"]}, {"result", {{"values", values}}}};
    return true;
  }
  std::mutex mutex;
  json calls = json::array();
};

}  // namespace

// One call per device with all its tags (or one per field when switched);
// a tag missing from the answer is a failed read of that field alone.
TEST(MeasurementReads, OneCallPerDeviceOrPerFieldAMissingTagFailsAlone) {
  pemrix::testing::TempDir dir;
  auto stub = std::make_shared<RecordingStub>();
  JsonRpcServer server(dir.Ipc("daq"));
  server.Add(stub);
  server.Start();
  const json entry = {
      {"id", "m"},
      {"cycle_ms", 10},
      {"fields",
       {{"a", Field("d1", "x")}, {"b", Field("d2", "y")}, {"c", Field("d1", "gone")}, {"d", Field("d1", "x")}}}};
  const std::pair<bool, const char*> cases[] = {
      {false, R"([{"device_id":"d1","parameters":["x","gone"]},{"device_id":"d2","parameters":["y"]}])"},
      {true, R"([{"device_id":"d1","parameters":["x"]},{"device_id":"d2","parameters":["y"]},
                 {"device_id":"d1","parameters":["gone"]},{"device_id":"d1","parameters":["x"]}])"}};
  for (const auto& [onePerField, calls] : cases) {
    auto proxy = std::make_shared<DAQServiceProxy>(dir.Ipc("daq"), 5000);
    DBMeasurement m(proxy);
    ASSERT_TRUE(m.LoadFromJSON(entry));
    m.SetOneTagPerCall(onePerField);
    m.Fields()[2]->Value() = "old";
    stub->calls = json::array();
    ASSERT_TRUE(m.Update(m.DueTime()));
    EXPECT_EQ(json::parse(calls), stub->calls);
    std::vector<json> values;
    for (const auto& f : m.Fields()) values.push_back(f->Value());
    EXPECT_EQ((std::vector<json>{"d1.x", "d2.y", "old", "d1.x"}), values);
    EXPECT_EQ(1u, proxy->failedReads.load());
  }
}
