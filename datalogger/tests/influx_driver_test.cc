// The InfluxDB driver: line formatting, and points written to a real influxd
// and read back with their exact values, types and timestamps.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <set>

#include "DBClient.h"
#include "DBMeasurement.h"
#include "DataLoggerTestSupport.h"
#include "InfluxdbDriver.h"
#include "LogCapture.h"

using namespace VESK;
using nlohmann::json;
using pemrix::testing::LogCapture;
using pemrix::testing::QueryPoints;
using pemrix::testing::SharedInflux;

namespace {

// A measurement with the given fields set to the given values (no proxy).
std::shared_ptr<DBMeasurement> Make(const std::string& name, const json& values) {
  json fields = json::object();
  for (auto it = values.begin(); it != values.end(); ++it)
    fields[it.key()] = {{"device_id", "d"}, {"tag_id", it.key()}};
  auto m = std::make_shared<DBMeasurement>(nullptr);
  EXPECT_TRUE(m->LoadFromJSON({{"id", name}, {"cycle_ms", 1000}, {"fields", fields}}));
  for (auto& f : m->Fields()) f->Value() = values[f->Name()];
  return m;
}

std::string Ns(const DBMeasurement& m) {
  return std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(m.Timestamp().time_since_epoch()).count());
}

json Settings(const std::string& db, int port) {
  return {{"host", "127.0.0.1"}, {"port", port}, {"database_name", db}};
}

}  // namespace

// A point goes to the shared influxd and is read back: exactly the fields
// that hold values, each with its exact value and type.
TEST(InfluxDriver, CreatesTheDatabasePointsReadBackExactlyRefusalsAreReported) {
  auto& influx = SharedInflux();
  const std::string db = "plant-1 data";  // needs quoting as an identifier
  json settings = Settings(db, influx.Port());
  settings["username"] = "op&erator";  // reserved characters must not break the request
  settings["password"] = "p#ss w&rd";
  InfluxdbDriver driver;
  ASSERT_TRUE(driver.LoadFromJSON(settings));
  LogCapture log;
  driver.CreateDatabase();
  EXPECT_TRUE(log.Contains("InfluxDB Create DB, Resp ", "INFO"));
  EXPECT_NE(std::string::npos, influx.Query("", "SHOW DATABASES").find("\"plant-1 data\""));

  const json exact = {{"t", 21.456},
                      {"small", 0.004},
                      {"third", 1.0 / 3},
                      {"tiny", 5e-324},
                      {"large", 1.7976931348623157e308},
                      {"e20", 1e20},
                      {"ok", false},
                      {"big", 5000000000LL},
                      {"neg", -7},
                      {"min", std::numeric_limits<std::int64_t>::min()},
                      {"max", std::numeric_limits<std::int64_t>::max()},
                      {"s", "say \"hi\" C:\\dir\\"},
                      {"nl", "two\nlines"},
                      {"k ,=", "v"}};
  json values = exact;
  values["whole"] = 3.0;
  values["a"] = json::array({1, 2.5, "x", nullptr, json::array({1}), true});
  // No field for these: no value, no scalar, out of range, not finite.
  values["never"] = nullptr;
  values["obj"] = {{"a", 1}};
  values["huge"] = std::numeric_limits<std::uint64_t>::max();
  values["nan"] = std::nan("");
  values["inf"] = HUGE_VAL;
  auto m = Make("plant 1,a", values);
  ASSERT_TRUE(driver.Insert(m));
  EXPECT_TRUE(log.Contains("huge=18446744073709551615", "ERROR"));
  const auto rows = QueryPoints(influx, db, "plant 1,a");
  ASSERT_EQ(1u, rows.size());
  json r = rows[0];
  EXPECT_EQ(Ns(*m), std::to_string(r["time"].get<std::int64_t>()));
  r.erase("time");
  json expected = exact;
  expected.update(json::parse(R"({"whole":3,"a0":1,"a1":2.5,"a2":"x","a5":true})"));
  EXPECT_EQ(expected, r);
  // Stored types: "whole" (written as 3) is a float like "t", "big" an integer.
  const json keys =
      json::parse(influx.Query(db, "SHOW FIELD KEYS FROM \"plant 1,a\""))["results"][0]["series"][0]["values"];
  for (const json& type : json::parse(R"([["whole","float"],["big","integer"],["ok","boolean"],["s","string"]])"))
    EXPECT_NE(std::find(keys.begin(), keys.end(), type), keys.end()) << type;

  EXPECT_FALSE(driver.Insert(Make("plant 1,a", {{"t", "text"}})));
  EXPECT_TRUE(log.Contains("InfluxDB Response : {\"error\":\"partial write: field type conflict", "ERROR"));
  // A point without values is not sent at all.
  for (const json& none : {json{{"v", nullptr}, {"w", json::array({nullptr})}}, json::object()})
    EXPECT_FALSE(driver.Insert(Make("m", none)));
  EXPECT_EQ(2, log.Count("InfluxDB Point Skipped, No Values : m", "INFO"));
  EXPECT_TRUE(QueryPoints(influx, db, "m").empty());
}

TEST(InfluxDriver, BadSettingsLeaveNoDriver) {
  LogCapture log;
  DBClient client;
  const json bad[] = {
      json(),
      {{"driver", 1}},
      {{"driver", "sqlite"}},
      {{"driver", "influxdb"}},
      {{"driver", "influxdb"}, {"influxdb", {{"host", "localhost"}, {"port", 8086}, {"database_name", "d"}}}},
      {{"driver", "influxdb"}, {"influxdb", {{"host", "127.0.0.1"}, {"port", "8086"}, {"database_name", "d"}}}},
      {{"driver", "influxdb"}, {"influxdb", {{"host", "127.0.0.1"}, {"port", 70000}, {"database_name", "d"}}}},
      {{"driver", "influxdb"}, {"influxdb", {{"host", "127.0.0.1"}, {"port", 8086.5}, {"database_name", "d"}}}},
      {{"driver", "influxdb"}, {"influxdb", {{"host", "127.0.0.1"}, {"port", 8086}}}},
      {{"driver", "influxdb"},
       {"influxdb", {{"host", "127.0.0.1"}, {"port", 8086}, {"database_name", "d"}, {"password", 5}}}},
  };
  for (const auto& section : bad) {
    log.Clear();
    EXPECT_FALSE(client.LoadFromJSON(section)) << section.dump();
    EXPECT_FALSE(client.Driver()) << section.dump();
    EXPECT_EQ(1, log.Count("Failed!", "ERROR")) << section.dump();
  }
  EXPECT_FALSE(client.Insert(Make("m", {{"v", 1}})));
  EXPECT_TRUE(client.LoadFromJSON({{"driver", "influxdb"}, {"influxdb", Settings("d", 8086)}}));
  EXPECT_EQ(8086, std::dynamic_pointer_cast<InfluxdbDriver>(client.Driver())->Server().port);
}

// Names InfluxDB would store under another name, drop or refuse forever are
// refused at load, naming measurement and key; every other name reads back
// byte for byte.
TEST(InfluxDriver, NamesAreStoredExactlyOrRefusedAtLoad) {
  auto& influx = SharedInflux();
  InfluxdbDriver driver;
  ASSERT_TRUE(driver.LoadFromJSON(Settings("names", influx.Port())));
  driver.CreateDatabase();
  LogCapture log;
  for (const std::string name : {"#c", "m\\", "a\tb", "x\\\\ y"}) {
    DBMeasurement m(nullptr);
    ASSERT_TRUE(m.LoadFromJSON({{"id", name}, {"cycle_ms", 100}}));
    EXPECT_FALSE(driver.Admit(m)) << name;
  }
  EXPECT_EQ(4, log.Count("InfluxDB Name Refused! measurement '", "ERROR"));

  const json goodKeys = {"f\\\\ x", "k ,=", "g\\b", "\"q", "\xC3\xA9"};
  json values = json::object();
  for (const std::string key : {"", "time", "t\\", "a\tb", "s\\ x"}) values[key] = 1;
  for (const auto& key : goodKeys) values[key.get<std::string>()] = 1;
  auto keys = Make("keys", values);
  EXPECT_TRUE(driver.Admit(*keys));
  EXPECT_EQ(5, log.Count("InfluxDB Name Refused! measurement 'keys' field '", "ERROR"));
  ASSERT_TRUE(driver.Insert(keys));
  auto firstColumn = [&](const std::string& q) {
    const json answer = json::parse(influx.Query("names", q));
    std::set<std::string> out;
    for (const auto& row : answer["results"][0]["series"][0]["values"]) out.insert(row[0].get<std::string>());
    return out;
  };
  EXPECT_EQ(std::set<std::string>(goodKeys.begin(), goodKeys.end()), firstColumn("SHOW FIELD KEYS FROM \"keys\""));

  const std::set<std::string> goodNames = {"m\\ x", "a,b c", "x\\\\\\ y", "n\\\\b", " lead", "\\#h", "keys"};
  for (const auto& name : goodNames) ASSERT_TRUE(driver.Insert(Make(name, {{"v", 1}}))) << name;
  EXPECT_EQ(goodNames, firstColumn("SHOW MEASUREMENTS"));
}
