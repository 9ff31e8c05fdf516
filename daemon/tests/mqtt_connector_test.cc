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

// The type error LoadFromJSON throws, or "" when it throws none.
std::string Load(VESK::MqttConnector& c, json config) {
  try {
    c.LoadFromJSON(config);
  } catch (const json::type_error& e) {
    return e.what();
  }
  return "";
}

TEST(MqttConnectorLoad, ConversionsModesAndGeneratedId) {
  VESK::MqttConnector c;
  const std::string generated = c._clientId;
  ASSERT_EQ(generated.size(), 36u);
  EXPECT_NE(VESK::MqttConnector()._clientId, generated);
  ASSERT_EQ(Load(c, Settings()), "");
  EXPECT_EQ(c._clientId, generated);
  EXPECT_EQ(std::make_tuple(c._host, c._port, c._keepAlive, c._reconnectTime),
            std::make_tuple(std::string("broker"), 1883, 60, 5));
  for (auto* s : {&c._caFile, &c._certFile, &c._keyFile, &c._certPassword, &c._username, &c._password})
    EXPECT_EQ(*s, "");

  auto load = [&](const char* key, json value) -> VESK::MqttConnector& {
    EXPECT_EQ(Load(c, Settings(key, value)), "") << key << " " << value;
    return c;
  };
  EXPECT_EQ(load("encryption_mode", 3)._encryptionMode, 0);  // only 1 and 2 select TLS
  EXPECT_EQ(load("encryption_mode", -1)._encryptionMode, 0);
  EXPECT_EQ(load("encryption_mode", 2)._encryptionMode, 2);
  EXPECT_EQ(load("encryption_mode", 1.7)._encryptionMode, 1);
  EXPECT_EQ(load("port", 1883.9)._port, 1883);
  EXPECT_EQ(load("port", true)._port, 1);
  EXPECT_EQ(load("client_id", 42)._clientId, generated);  // optional strings ignore other types
  EXPECT_EQ(load("client_id", "gw-7")._clientId, "gw-7");
  EXPECT_EQ(load("cert_password", "s3cret")._certPassword, "s3cret");
}

TEST(MqttConnectorLoad, RequiredKeysFailWithTypeErrors) {
  const std::pair<json, const char*> cases[] = {
      {Settings("host"), "type must be string, but is null"},
      {Settings("port", "1883"), "type must be number, but is string"},
      {Settings("reconnect_time"), "type must be number, but is null"},
      // A float beyond int's range has no defined conversion: refused, not an arbitrary port.
      {Settings("port", 1e20), "out of range"},
      {Settings("port", -1e20), "out of range"},
      {nullptr, "type must be string, but is null"},  // becomes an object, fails at "host"
      {json::array(), "string argument with array"},
  };
  for (const auto& [config, error] : cases) {
    VESK::MqttConnector c;
    EXPECT_NE(Load(c, config).find(error), std::string::npos) << config;
  }
  // Keys are applied in order up to the failing one.
  VESK::MqttConnector c;
  c._port = 7;
  json config = Settings("host");
  config["client_id"] = "applied-before-host";
  EXPECT_NE(Load(c, config), "");
  EXPECT_EQ(c._clientId, "applied-before-host");
  EXPECT_EQ(c._port, 7);
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
