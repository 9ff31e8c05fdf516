// The connector's settings loader, its handler dispatch and the key-password
// callback: no broker needed.
#include <gtest/gtest.h>
#include <mosquitto.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <type_traits>

#include "LogCapture.h"
#include "MqttConnector.h"
#include "MqttProbe.h"

using nlohmann::json;
using pemrix::testing::LogCapture;
using pemrix::testing::MosquittoLibrary;

namespace {

const auto* const kLibrary = ::testing::AddGlobalTestEnvironment(new MosquittoLibrary);

json Minimal() {
  return {{"host", "broker"}, {"port", 1883}, {"keep_alive", 60}, {"reconnect_time", 5}, {"encryption_mode", 0}};
}

std::string TypeError(VESK::MqttConnector& c, json config) {
  try {
    c.LoadFromJSON(config);
  } catch (const json::type_error& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace

TEST(MqttConnectorLoad, MinimalObjectKeepsGeneratedIdAndEmptySecrets) {
  VESK::MqttConnector c;
  std::string generated = c._clientId;
  ASSERT_EQ(generated.size(), 36u);
  EXPECT_NE(VESK::MqttConnector()._clientId, generated);
  json config = Minimal();
  c.LoadFromJSON(config);
  EXPECT_EQ(c._clientId, generated);
  EXPECT_EQ(c._host, "broker");
  EXPECT_EQ(c._port, 1883);
  EXPECT_EQ(c._keepAlive, 60);
  EXPECT_EQ(c._reconnectTime, 5);
  EXPECT_EQ(c._encryptionMode, 0);
  for (auto* s : {&c._caFile, &c._certFile, &c._keyFile, &c._certPassword, &c._username, &c._password})
    EXPECT_EQ(*s, "");
  // Absent keys are read through the non-const operator[] and so appear as nulls.
  EXPECT_TRUE(config.contains("username"));
  EXPECT_TRUE(config["username"].is_null());
}

TEST(MqttConnectorLoad, ConversionsAndModes) {
  VESK::MqttConnector c;
  auto load = [&](const char* key, json value) {
    json config = Minimal();
    config[key] = value;
    c.LoadFromJSON(config);
  };
  load("encryption_mode", 3);
  EXPECT_EQ(c._encryptionMode, 0);
  load("encryption_mode", -1);
  EXPECT_EQ(c._encryptionMode, 0);
  load("encryption_mode", 2);
  EXPECT_EQ(c._encryptionMode, 2);
  load("encryption_mode", 1.7);
  EXPECT_EQ(c._encryptionMode, 1);
  load("port", 1883.9);
  EXPECT_EQ(c._port, 1883);
  load("port", true);
  EXPECT_EQ(c._port, 1);
  std::string id = c._clientId;
  load("client_id", 42);
  EXPECT_EQ(c._clientId, id);
  load("client_id", "gw-7");
  EXPECT_EQ(c._clientId, "gw-7");
  c._username = "kept";
  load("username", nullptr);
  EXPECT_EQ(c._username, "kept");
  load("cert_password", "s3cret");
  EXPECT_EQ(c._certPassword, "s3cret");
}

TEST(MqttConnectorLoad, RequiredKeysFailWithTypeErrorsInOrder) {
  VESK::MqttConnector c;
  c._port = 7;
  json config = Minimal();
  config.erase("host");
  config["client_id"] = "applied-before-host";
  EXPECT_NE(TypeError(c, config).find("type must be string, but is null"), std::string::npos);
  EXPECT_EQ(c._clientId, "applied-before-host");
  EXPECT_EQ(c._port, 7);  // not read after the failing key

  config = Minimal();
  config["port"] = "1883";
  EXPECT_NE(TypeError(c, config).find("type must be number, but is string"), std::string::npos);
  EXPECT_EQ(c._host, "broker");

  config = Minimal();
  config.erase("reconnect_time");
  EXPECT_NE(TypeError(c, config).find("type must be number, but is null"), std::string::npos);

  // A null configuration becomes an object and fails at "host"; an array
  // cannot be indexed by key at all.
  EXPECT_NE(TypeError(c, nullptr).find("type must be string, but is null"), std::string::npos);
  EXPECT_NE(TypeError(c, json::array()).find("string argument with array"), std::string::npos);
}

// A float beyond int's range has no defined int conversion; it must be
// refused rather than turned into an arbitrary port.
TEST(MqttConnectorLoad, OutOfRangeFloatIsATypeError) {
  VESK::MqttConnector c;
  json config = Minimal();
  config["port"] = 1e20;
  EXPECT_NE(TypeError(c, config).find("out of range"), std::string::npos);
  config["port"] = -1e20;
  EXPECT_NE(TypeError(c, config).find("out of range"), std::string::npos);
}

TEST(MqttConnectorHandlers, ConnackCodeSelectsOneHandler) {
  VESK::MqttConnector c;
  int connected = 0, refused = 0;
  c._connectedHandler = [&] { ++connected; };
  c._disconnectedHandler = [&] { ++refused; };
  VESK::MqttClient::ConnectCallback(nullptr, &c, 5);
  EXPECT_EQ(connected, 0);
  EXPECT_EQ(refused, 1);
  EXPECT_FALSE(c._connected);
  VESK::MqttClient::ConnectCallback(nullptr, &c, 0);
  EXPECT_EQ(connected, 1);
  EXPECT_EQ(refused, 1);
  EXPECT_TRUE(c._connected);
  // Without a handler or an object nothing happens.
  VESK::MqttClient::MessageCallback(nullptr, &c, nullptr);
  VESK::MqttClient::ConnectCallback(nullptr, nullptr, 0);
}

TEST(MqttClientPoll, EmptyHostStaysSilentAndRetriesEveryStep) {
  LogCapture log;
  VESK::MqttConnector c;
  c.RunOnce();
  c.RunOnce();
  EXPECT_EQ(c._mosq, nullptr);
  EXPECT_TRUE(log.Lines().empty());
  c._host = "127.0.0.1";
  c._port = 1;  // nothing listens: the instance exists, the connect fails
  c.RunOnce();
  EXPECT_NE(c._mosq, nullptr);
  EXPECT_TRUE(log.Contains("MQTT Client Connect to 127.0.0.1:1, client id = " + c._clientId, "INFO"));
  c.Disconnect();
  EXPECT_EQ(c._mosq, nullptr);
}

TEST(MqttClientPoll, ReconnectPauseIsMonotonic) {
  // Wall-clock steps (NTP setting the clock back) must not stall reconnects.
  static_assert(std::is_same_v<decltype(VESK::MqttClient::_lastConnectTime), std::chrono::steady_clock::time_point>);
  LogCapture log;
  VESK::MqttConnector c;
  c._host = "127.0.0.1";
  c._port = 1;
  c._reconnectTime = 3600;
  c.RunOnce();  // creates the instance; the connect is refused at once
  auto first = c._lastConnectTime;
  c.RunOnce();
  EXPECT_EQ(c._lastConnectTime, first);  // inside the pause: no attempt
  c._lastConnectTime -= std::chrono::seconds(3600);
  c.RunOnce();
  EXPECT_GT(c._lastConnectTime, first);
  EXPECT_EQ(log.Count("MQTT Client Reconnect to", "INFO"), 1);
  c.Disconnect();
}

TEST(MqttClientTls, PasswordCallbackFillsBufferByItsSize) {
  VESK::MqttConnector c;
  c._certPassword = "secret";
  mosquitto* m = mosquitto_new("pw", true, &c);
  ASSERT_NE(m, nullptr);
  char buf[16];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(VESK::MqttClient::PasswordCheckCallback(buf, 6, 0, m), 6);
  EXPECT_EQ(std::string(buf, 7), "secretx");  // no terminator, nothing beyond size
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(VESK::MqttClient::PasswordCheckCallback(buf, 7, 0, m), 6);
  EXPECT_EQ(std::string(buf, 8), std::string("secret\0x", 8));
  EXPECT_EQ(VESK::MqttClient::PasswordCheckCallback(buf, 3, 0, m), 3);
  EXPECT_EQ(std::string(buf, 3), "sec");
  EXPECT_EQ(VESK::MqttClient::PasswordCheckCallback(nullptr, 7, 0, m), 0);
  EXPECT_EQ(VESK::MqttClient::PasswordCheckCallback(buf, 7, 0, nullptr), 0);
  EXPECT_EQ(VESK::MqttClient::PasswordCheckCallback(buf, -1, 0, m), 0);
  mosquitto_destroy(m);
}
