// The InfluxDB driver: line formatting, and points written to a real influxd
// and read back with their exact values, types and timestamps.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

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

std::string Line(const DBMeasurement& m) {
  std::string line;
  return InfluxdbDriver::FormatPoint(m, line) ? line : "<none>";
}

std::string Ns(const DBMeasurement& m) {
  return std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(m.Timestamp().time_since_epoch()).count());
}

json Settings(const std::string& db, int port) {
  return {{"host", "127.0.0.1"}, {"port", port}, {"database_name", db}};
}

}  // namespace

TEST(InfluxLine, WritesOnlyFieldsWithValuesInTheirOwnTypes) {
  auto m = Make("plant 1,a", {{"t", 21.456},
                              {"ok", true},
                              {"big", 5000000000LL},
                              {"neg", -7},
                              {"small", 0.004},
                              {"whole", 3.0},
                              {"s", "say \"hi\" C:\\dir\\"},
                              {"k ,=", "x"},
                              {"never", nullptr},
                              {"obj", {{"a", 1}}}});
  EXPECT_EQ(
      "plant\\ 1\\,a big=5000000000i,k\\ \\,\\==\"x\",neg=-7i,ok=t,s=\"say \\\"hi\\\" C:\\\\dir\\\\\",small=0.004,"
      "t=21.456,whole=3 " +
          Ns(*m),
      Line(*m));

  auto arr = Make("m", {{"a", json::array({1, 2.5, "x", nullptr, json::array({1}), false})}});
  EXPECT_EQ("m a0=1i,a1=2.5,a2=\"x\",a5=f " + Ns(*arr), Line(*arr));

  // No value at all: nothing to write (no made-up placeholder).
  EXPECT_EQ("<none>", Line(*Make("m", {{"a", nullptr}, {"b", json::array({nullptr})}})));
  EXPECT_EQ("<none>", Line(*Make("m", json::object())));
}

TEST(InfluxLine, LeavesOutValuesItCannotWrite) {
  LogCapture log;
  auto m = Make("m", {{"huge", std::numeric_limits<std::uint64_t>::max()},
                      {"max", std::numeric_limits<std::int64_t>::max()},
                      {"nan", std::nan("")},
                      {"inf", HUGE_VAL}});
  EXPECT_EQ("m max=9223372036854775807i " + Ns(*m), Line(*m));
  EXPECT_TRUE(log.Contains("huge=18446744073709551615", "ERROR"));
}

// Everything below talks to the shared influxd.
TEST(InfluxDriver, CreatesTheDatabaseAndPointsReadBackExactly) {
  auto& influx = SharedInflux();
  const std::string db = "plant-1 data";  // needs quoting as an identifier
  InfluxdbDriver driver;
  ASSERT_TRUE(driver.LoadFromJSON(Settings(db, influx.Port())));
  LogCapture log;
  driver.CreateDatabase();
  EXPECT_TRUE(log.Contains("InfluxDB Create DB, Resp ", "INFO"));
  EXPECT_NE(std::string::npos, influx.Query("", "SHOW DATABASES").find("\"plant-1 data\""));

  const double tiny = 5e-324, large = 1.7976931348623157e308, third = 1.0 / 3;
  auto m = Make("plant 1", {{"t", 21.456},
                            {"third", third},
                            {"tiny", tiny},
                            {"large", large},
                            {"e20", 1e20},
                            {"whole", 3.0},
                            {"ok", false},
                            {"big", 5000000000LL},
                            {"min", std::numeric_limits<std::int64_t>::min()},
                            {"s", "q\"uote\\ end\\"},
                            {"nl", "two\nlines"},
                            {"a", json::array({1, nullptr, "x"})}});
  ASSERT_TRUE(driver.Insert(m));
  const auto rows = QueryPoints(influx, db, "plant 1");
  ASSERT_EQ(1u, rows.size());
  json r = rows[0];  // not const: a missing column reads as null
  EXPECT_EQ(Ns(*m), std::to_string(r["time"].get<std::int64_t>()));
  EXPECT_EQ(21.456, r["t"].get<double>());
  EXPECT_EQ(third, r["third"].get<double>());
  EXPECT_EQ(tiny, r["tiny"].get<double>());
  EXPECT_EQ(large, r["large"].get<double>());
  EXPECT_EQ(1e20, r["e20"].get<double>());
  EXPECT_EQ(false, r["ok"]);
  EXPECT_EQ(5000000000LL, r["big"].get<std::int64_t>());
  EXPECT_EQ(std::numeric_limits<std::int64_t>::min(), r["min"].get<std::int64_t>());
  EXPECT_EQ("q\"uote\\ end\\", r["s"]);
  EXPECT_EQ("two\nlines", r["nl"]);
  EXPECT_EQ(1, r["a0"]);
  EXPECT_EQ("x", r["a2"]);
  EXPECT_FALSE(r.contains("a1"));

  // Stored types: "whole" (written as 3) is a float like "t", "big" an integer.
  const auto keys = json::parse(influx.Query(db, "SHOW FIELD KEYS FROM \"plant 1\""));
  std::map<std::string, std::string> types;
  for (const auto& v : keys["results"][0]["series"][0]["values"]) types[v[0]] = v[1];
  EXPECT_EQ("float", types["whole"]);
  EXPECT_EQ("integer", types["big"]);
  EXPECT_EQ("boolean", types["ok"]);
  EXPECT_EQ("string", types["s"]);
}

TEST(InfluxDriver, CredentialsWithReservedCharactersStillFormAValidRequest) {
  auto& influx = SharedInflux();
  json settings = Settings("creds", influx.Port());
  settings["username"] = "op&erator";
  settings["password"] = "p#ss w&rd";
  InfluxdbDriver driver;
  ASSERT_TRUE(driver.LoadFromJSON(settings));
  driver.CreateDatabase();
  EXPECT_TRUE(driver.Insert(Make("m", {{"v", 1}})));
  EXPECT_EQ(1u, QueryPoints(influx, "creds", "m").size());
}

TEST(InfluxDriver, RefusedWriteIsFalseAndLoggedWithCodeAndBody) {
  auto& influx = SharedInflux();
  InfluxdbDriver driver;
  ASSERT_TRUE(driver.LoadFromJSON(Settings("conflict", influx.Port())));
  driver.CreateDatabase();
  ASSERT_TRUE(driver.Insert(Make("m", {{"v", 1.5}})));
  LogCapture log;
  EXPECT_FALSE(driver.Insert(Make("m", {{"v", "text"}})));
  EXPECT_TRUE(log.Contains("InfluxDB Write Failed! m Code 400", "ERROR"));
  EXPECT_TRUE(log.Contains("field type conflict", "ERROR"));
  // A point without values is not sent at all.
  EXPECT_FALSE(driver.Insert(Make("m", {{"v", nullptr}})));
  EXPECT_TRUE(log.Contains("InfluxDB Point Skipped, No Values : m", "INFO"));
}

TEST(InfluxDriver, UnreachableServerIsLoggedOncePerOutage) {
  const int deadPort = pemrix::testing::FreeTcpPort();
  InfluxdbDriver driver;
  ASSERT_TRUE(driver.LoadFromJSON(Settings("late", deadPort)));
  LogCapture log;
  driver.CreateDatabase();
  EXPECT_TRUE(log.Contains("InfluxDB Create DB Failed! Code -3", "ERROR"));
  log.Clear();
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(driver.Insert(Make("m", {{"v", i}})));
  EXPECT_EQ(1, log.Count("InfluxDB Write Failed! m Code -3", "ERROR"));
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
