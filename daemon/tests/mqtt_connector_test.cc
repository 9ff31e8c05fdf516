// The connector's settings loader, the poll step without a broker and the
// key-password callback.
#include <gtest/gtest.h>
#include <mosquitto.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <tuple>
#include <type_traits>

#include "LogCapture.h"
#include "MqttConnector.h"
#include "MqttProbe.h"

using nlohmann::json;
using pemrix::testing::LogCapture;

namespace {

const auto* const kLibrary = ::testing::AddGlobalTestEnvironment(new pemrix::testing::MosquittoLibrary);

// The minimal settings with key set to value (a null value: key left out).
json Settings(const char* key = "", json value = nullptr) {
  json config = {{"host", "broker"}, {"port", 1883}, {"keep_alive", 60}, {"reconnect_time", 5}, {"encryption_mode", 0}};
  if (value.is_null())
    config.erase(key);
  else
    config[key] = value;
  return config;
}

TEST(MqttConnectorLoad, ValuesAreCheckedAndEveryProblemNamesItsKey) {
  VESK::MqttConnector c;
  const std::string generated = c._clientId;
  ASSERT_EQ(generated.size(), 36u);
  EXPECT_NE(VESK::MqttConnector()._clientId, generated);
  ASSERT_TRUE(c.LoadFromJSON(Settings()));
  EXPECT_EQ(c._clientId, generated);
  EXPECT_EQ(std::make_tuple(c._host, c._port, c._keepAlive, c._reconnectTime),
            std::make_tuple(std::string("broker"), 1883, 60, 5));
  for (auto* s : {&c._caFile, &c._certFile, &c._keyFile, &c._certPassword, &c._username, &c._password})
    EXPECT_EQ(*s, "");

  // usable: whether the daemon may connect; problem: the ERROR text (none
  // logged when empty). A key that failed keeps the member as it was.
  struct Case {
    const char* key;
    json value;
    bool usable;
    const char* problem;
  };
  const Case cases[] = {
      {"encryption_mode", 2, true, ""},
      {"port", 1883.0, true, ""},
      {"client_id", "gw-7", true, ""},
      {"encryption_mode", 5, false, "'mqtt_client' : encryption_mode : expected one of 0, 1, 2, found number 5"},
      {"port", 1883.9, false, "port : expected an integer from 1 to 65535, found number 1883.9"},
      {"port", "1883", false, "port : expected an integer from 1 to 65535, found string \"1883\""},
      {"port", 1e20, false, "port : expected an integer"},
      {"port", true, false, "found boolean true"},
      {"host", nullptr, false, "host : expected a string, found nothing"},
      {"client_id", 42, true, "client_id : expected a string, found number 42"},
  };
  for (const Case& k : cases) {
    LogCapture log;
    VESK::MqttConnector m;
    m._port = 7;
    EXPECT_EQ(m.LoadFromJSON(Settings(k.key, k.value)), k.usable) << k.key << " " << k.value;
    EXPECT_EQ(log.Count(*k.problem ? k.problem : "", "ERROR"), *k.problem ? 1 : 0) << k.key << " " << k.value;
    if (std::string(k.key) == "port" && !k.usable) {
      EXPECT_EQ(m._port, 7);
    }
  }
  LogCapture log;
  EXPECT_TRUE(c.LoadFromJSON(Settings("usernmae", "u")));
  EXPECT_EQ(log.Count("'mqtt_client' : unknown keys usernmae", "WARNING"), 1);
  EXPECT_FALSE(c.LoadFromJSON(json::array()));
}

TEST(MqttClientPoll, NoHostStaysIdleAndThePauseIsMonotonic) {
  // Wall-clock steps (NTP setting the clock back) must not stall reconnects.
  static_assert(std::is_same_v<decltype(VESK::MqttClient::_lastConnectTime), std::chrono::steady_clock::time_point>);
  LogCapture log;
  VESK::MqttConnector c;
  c._reconnectTime = 3600;
  c.RunOnce();
  c.RunOnce();
  EXPECT_EQ(c._mosq, nullptr);
  EXPECT_TRUE(log.Lines().empty());
  c._host = "127.0.0.1";
  c._port = 1;  // nothing listens: the instance exists, the connect is refused at once
  c.RunOnce();  // no pause after the steps without a host
  ASSERT_NE(c._mosq, nullptr);
  EXPECT_TRUE(log.Contains("MQTT Client Connect to 127.0.0.1:1, client id = " + c._clientId, "INFO"));
  auto first = c._lastConnectTime;
  c.RunOnce();
  EXPECT_EQ(c._lastConnectTime, first);  // inside the pause: no attempt
  c._lastConnectTime -= std::chrono::seconds(3600);
  c.RunOnce();
  EXPECT_GT(c._lastConnectTime, first);
  EXPECT_EQ(log.Count("MQTT Client Reconnect to", "INFO"), 1);
  c.Disconnect();
  EXPECT_EQ(c._mosq, nullptr);
}

TEST(MqttClientTls, PasswordCallbackFillsBufferByItsSize) {
  VESK::MqttConnector c;
  c._certPassword = "secret";
  mosquitto* m = mosquitto_new("pw", true, &c);
  ASSERT_NE(m, nullptr);
  char buf[16];
  auto call = [&](int size) {
    std::memset(buf, 'x', sizeof buf);
    return VESK::MqttClient::PasswordCheckCallback(buf, size, 0, m);
  };
  EXPECT_EQ(call(6), 6);
  EXPECT_EQ(std::string(buf, 7), "secretx");  // no terminator, nothing beyond size
  EXPECT_EQ(call(7), 6);
  EXPECT_EQ(std::string(buf, 8), std::string("secret\0x", 8));
  EXPECT_EQ(call(3), 3);
  EXPECT_EQ(std::string(buf, 4), "secx");
  EXPECT_EQ(call(-1), 0);
  EXPECT_EQ(VESK::MqttClient::PasswordCheckCallback(nullptr, 7, 0, m), 0);
  EXPECT_EQ(VESK::MqttClient::PasswordCheckCallback(buf, 7, 0, nullptr), 0);
  mosquitto_destroy(m);
}

}  // namespace
