// The InfluxDB driver against a real influxd.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <set>
#include <thread>

#include "DBClient.h"
#include "DBMeasurement.h"
#include "DataLoggerTestSupport.h"
#include "InfluxdbDriver.h"
#include "LogCapture.h"
#include "PointForwarder.h"

using namespace VESK;
using nlohmann::json;
using namespace pemrix::testing;
using namespace std::chrono_literals;

static std::shared_ptr<DBMeasurement> Make(const std::string& name, const json& values) {
  json fields = json::object();
  for (const auto& [key, value] : values.items()) fields[key] = {{"device_id", "d"}, {"tag_id", key}};
  auto m = std::make_shared<DBMeasurement>(nullptr);
  EXPECT_TRUE(m->LoadFromJSON({{"id", name}, {"cycle_ms", 1000}, {"fields", fields}}));
  for (auto& f : m->Fields()) f->Value() = values[f->Name()];
  return m;
}

static json Settings(std::string db, int p) { return {{"host", "127.0.0.1"}, {"port", p}, {"database_name", db}}; }

// The rows a statement answers, each as JSON text.
static std::set<std::string> Rows(const std::string& db, const std::string& q) {
  const json answer = json::parse(SharedInflux().Query(db, q));
  std::set<std::string> out;
  for (const auto& row : answer["results"][0]["series"][0]["values"]) out.insert(row.dump());
  return out;
}

TEST(InfluxDriver, CreatesTheDatabasePointsReadBackExactlyRefusalsAreReported) {
  auto& influx = SharedInflux();
  const std::string db = "plant-1 data";  // needs quoting as an identifier
  InfluxdbDriver driver;
  ASSERT_TRUE(driver.LoadFromJSON(Settings(db, influx.Port())));
  LogCapture log;
  driver.CreateDatabase();
  EXPECT_EQ(1u, Rows("", "SHOW DATABASES").count(R"(["plant-1 data"])"));

  const json exact = json::parse(R"({"t":21.456, "small":0.004, "third":0.3333333333333333, "tiny":5e-324,
      "large":1.7976931348623157e308, "e20":1e20, "ok":false, "big":5000000000, "neg":-7,
      "min":-9223372036854775808, "max":9223372036854775807, "s":"say \"hi\" C:\\dir\\", "nl":"two\nlines",
      "k ,=":"v"})");
  // "never" to "inf" have no field: no value, no scalar, out of range, not finite.
  json values = json::parse(R"({"whole":3.0, "a":[1, 2.5, "x", null, [1], true], "never":null, "obj":{"a":1},
      "huge":18446744073709551615})");
  values.update(exact);
  values["nan"] = std::nan("");
  values["inf"] = HUGE_VAL;
  auto m = Make("plant 1,a", values);
  ASSERT_TRUE(driver.Insert(m));
  const auto rows = QueryPoints(influx, db, "plant 1,a");
  ASSERT_EQ(1u, rows.size());
  json expected = exact;
  expected.update(json::parse(R"({"whole":3,"a0":1,"a1":2.5,"a2":"x","a5":true})"));
  expected["time"] = std::chrono::duration_cast<std::chrono::nanoseconds>(m->Timestamp().time_since_epoch()).count();
  EXPECT_EQ(expected, rows[0]);
  // "whole" (written as 3) is stored as a float like "t", "big" as an integer.
  const auto keys = Rows(db, "SHOW FIELD KEYS FROM \"plant 1,a\"");
  for (const char* type : {R"(["whole","float"])", R"(["big","integer"])", R"(["ok","boolean"])", R"(["s","string"])"})
    EXPECT_EQ(1u, keys.count(type)) << type;

  EXPECT_FALSE(driver.Insert(Make("plant 1,a", {{"t", "text"}})));
  EXPECT_TRUE(log.Contains("InfluxDB Response : {\"error\":\"partial write: field type conflict", "ERROR"));
  for (const json& none : {json{{"v", nullptr}, {"w", json::array({nullptr})}}, json::object()})
    EXPECT_FALSE(driver.Insert(Make("m", none)));
  EXPECT_TRUE(QueryPoints(influx, db, "m").empty());
}

TEST(InfluxDriver, BadSettingsLeaveNoDriver) {
  const json bad = json::parse(R"([null, {"driver":1}, {"driver":"sqlite"}, {"driver":"influxdb"},
      {"host":"localhost"}, {"port":"8086"}, {"port":70000}, {"port":8086.5}, {"database_name":null},
      {"password":5}])");
  LogCapture log;
  DBClient client;
  for (json section : bad) {
    if (!section.is_null() && !section.contains("driver")) {
      json settings = Settings("d", 8086);
      settings.update(section);
      if (settings["database_name"].is_null()) settings.erase("database_name");
      section = {{"driver", "influxdb"}, {"influxdb", settings}};
    }
    log.Clear();
    EXPECT_FALSE(client.LoadFromJSON(section)) << section;
    EXPECT_FALSE(client.Driver()) << section;
    EXPECT_EQ(1, log.Count("Failed!", "ERROR")) << section;
  }
  EXPECT_FALSE(client.Insert(Make("m", {{"v", 1}})));
}

// Refused: names InfluxDB would store under another name, drop or refuse forever.
TEST(InfluxDriver, NamesAreStoredExactlyOrRefusedAtLoad) {
  InfluxdbDriver driver;
  ASSERT_TRUE(driver.LoadFromJSON(Settings("names", SharedInflux().Port())));
  driver.CreateDatabase();
  LogCapture log;
  for (const char* name : {"#c", "m\\", "a\tb", "x\\\\ y"})
    EXPECT_FALSE(driver.Admit(*Make(name, json::object()))) << name;
  EXPECT_EQ(4, log.Count("InfluxDB Name Refused! measurement '", "ERROR"));

  const json good = {"f\\\\ x", "k ,=", "g\\b", "\"q", "\xC3\xA9"};
  json values = json::parse(R"({"":1, "time":1, "t\\":1, "a\tb":1, "s\\ x":1})");
  for (const auto& key : good) values[key.get<std::string>()] = 1;
  auto keys = Make("keys", values);
  EXPECT_TRUE(driver.Admit(*keys));
  EXPECT_EQ(5, log.Count("InfluxDB Name Refused! measurement 'keys' field '", "ERROR"));
  ASSERT_TRUE(driver.Insert(keys));
  std::set<std::string> expected;
  for (const auto& key : good) expected.insert(json::array({key, "integer"}).dump());
  EXPECT_EQ(expected, Rows("names", "SHOW FIELD KEYS FROM \"keys\""));

  const json names = {"m\\ x", "a,b c", "x\\\\\\ y", "n\\\\b", " lead", "\\#h"};
  expected = {R"(["keys"])"};
  for (const auto& name : names) {
    ASSERT_TRUE(driver.Insert(Make(name, {{"v", 1}}))) << name;
    expected.insert(json::array({name}).dump());
  }
  EXPECT_EQ(expected, Rows("names", "SHOW MEASUREMENTS"));
}

// A forwarder whose driver reaches influx by a relay that answers 503 during
// an outage; it is given passes of 20 numbered points (one bad line first, when given).
struct Relayed {
  Relayed(InfluxServer& influx, json settings, const std::string& queue, bool down = false)
      : outage(down),
        relay([this, &influx](ScriptedPeer& peer, int fd) {
          const std::string& r = peer.Request();
          ++requests;
          const auto answer = outage ? HttpResult{503, "down"}
                                     : HttpRequest(influx.Port(), "POST", r.substr(5, r.find(" HTTP/") - 5),
                                                   r.substr(r.find("\r\n\r\n") + 4));
          ScriptedPeer::Send(fd, HttpAnswer(answer.status, answer.body));
        }),
        forwarder(driver, {queue, {}, 5000, 20ms, 200ms}, cancel) {
    settings["port"] = relay.Port();
    EXPECT_TRUE(driver->LoadFromJSON(settings));
    forwarder.Start();
  }
  void Passes(int count, const char* bad = nullptr) {
    for (int i = 0; i < count; ++i, std::this_thread::sleep_for(10ms)) {
      std::vector<std::string> lines;
      for (int j = 0; j < 20; ++j, ++n)
        lines.push_back("m v=" + std::to_string(n) + "i " + std::to_string(n) + "000000");
      if (bad && i == 0) lines.emplace_back(bad);
      forwarder.Submit(lines);
    }
  }

  std::atomic<bool> outage, cancel{false};
  std::atomic<int> requests{0};
  int n = 0;  // points given
  ScriptedPeer relay;
  std::shared_ptr<InfluxdbDriver> driver = std::make_shared<InfluxdbDriver>();
  PointForwarder forwarder;
};

// A 503 outage, then a rotated password, then the right one again, behind a
// small max-body-size and with one line the server cannot parse.
TEST(InfluxDriver, EveryPointArrivesOnceThroughAnOutageRefusedCredentialsAndSmallBodies) {
  InfluxServer influx("auth-enabled = true\nmax-body-size = 3000");
  ASSERT_TRUE(influx.Start());
  const auto query = [&](const std::string& password, const std::string& q) {
    return HttpRequest(influx.Port(), "POST", "/query?db=auth&u=admin&p=" + password, "q=" + UrlEncode(q));
  };
  ASSERT_EQ(200, query("", "CREATE USER admin WITH PASSWORD 'secret' WITH ALL PRIVILEGES").status);
  json settings = Settings("auth", 0);
  settings.update({{"username", "admin"}, {"password", "secret"}});
  TempDir queue{"pemrix-queue"};
  LogCapture log;
  Relayed r(influx, settings, queue.Path(), true);
  r.Passes(10);
  ASSERT_TRUE(WaitUntil([&] { return log.Contains("[Code 503, "); }, 5s));
  ASSERT_EQ(200, query("secret", "SET PASSWORD FOR admin = 'rotated'").status);
  r.outage = false;
  r.Passes(10);
  ASSERT_TRUE(WaitUntil([&] { return log.Contains("InfluxDB Write Refused! Code 401"); }, 5s));
  ASSERT_EQ(200, query("rotated", "SET PASSWORD FOR admin = 'secret'").status);
  r.Passes(10, "m v=");
  ASSERT_TRUE(WaitUntil([&] { return log.Contains("Point Queue Empty"); }, 10s));
  r.forwarder.Stop();
  EXPECT_EQ(std::make_tuple(r.n, 1),
            std::make_tuple(int(r.forwarder.Counters().written), int(r.forwarder.Counters().refused)));
  EXPECT_NE(std::string::npos, query("secret", "SELECT count(v) FROM m").body.find("," + std::to_string(r.n) + "]]"));
  EXPECT_EQ(1, log.Count("InfluxDB Write Refused! Code 401", "ERROR"));
  EXPECT_TRUE(log.Contains("Point Queue Empty, 1 points of the backlog refused or dropped"));
  EXPECT_FALSE(log.Contains("secret"));

  // A user that may only write is warned about, and writes.
  query("secret", "CREATE USER writer WITH PASSWORD 'w'");
  query("secret", "GRANT WRITE ON auth TO writer");
  settings.update({{"port", influx.Port()}, {"username", "writer"}, {"password", "w"}});
  ASSERT_TRUE(r.driver->LoadFromJSON(settings));
  r.driver->CreateDatabase();
  EXPECT_TRUE(log.Contains("the user may not create databases", "WARNING"));
  EXPECT_EQ(1u, r.driver->WriteLines("m v=1i 1", 1).done);
}

// The queue file is corrupt and the disk full: points go straight to the
// server; once there is room, a new queue takes points through an outage.
TEST(InfluxDriver, AQueueOnACorruptFullDiskIsMovedAsideBypassedAndReopened) {
  TempDir disk{"pemrix-tmpfs"};
  if (::mount("tmpfs", disk.Path().c_str(), "tmpfs", 0, "size=256k") != 0) GTEST_SKIP() << "no tmpfs here";
  const std::unique_ptr<const char, void (*)(const char*)> unmount(disk.Path().c_str(),
                                                                   [](const char* p) { ::umount2(p, MNT_DETACH); });
  WriteFile(disk.File("points.sqlite"), std::string(8192, 'x'));
  for (std::ofstream filler(disk.File("filler")); filler << std::string(4096, 'f');) {
  }
  LogCapture log;
  Relayed r(SharedInflux(), Settings("disk", 0), disk.Path());
  const auto& counters = r.forwarder.Counters();
  r.Passes(20);
  ASSERT_TRUE(WaitUntil([&] { return int(counters.written) == r.n; }, 5s));
  EXPECT_LE(r.requests, 30);  // one per pass, no hot loop
  EXPECT_EQ(1, log.Count("Point Queue Disk Full! " + disk.File("points.sqlite") + " : ", "ERROR"));
  EXPECT_EQ(1, log.Count("Point Queue Corrupt! " + disk.File("points.sqlite") + " moved aside to ", "ERROR"));
  std::remove(disk.File("filler").c_str());
  ASSERT_TRUE(WaitUntil([&] { return log.Contains("0 points waiting"); }, 5s));
  r.outage = true;
  r.Passes(10);
  EXPECT_GT(counters.queuePoints, 0);
  r.outage = false;
  ASSERT_TRUE(WaitUntil([&] { return log.Contains("Point Queue Empty, all queued points written"); }, 5s));
  r.forwarder.Stop();
  EXPECT_EQ(std::make_tuple(r.n, 0), std::make_tuple(int(counters.written), int(counters.dropped)));
  EXPECT_EQ(std::size_t(r.n), QueryPoints(SharedInflux(), "disk", "m").size());
}
