// The connector's settings loader and the key-password callback.
#include <gtest/gtest.h>
#include <mosquitto.h>

#include <nlohmann/json.hpp>
#include <tuple>

#include "LogCapture.h"
#include "MqttConnector.h"
#include "MqttProbe.h"

using nlohmann::json;
using pemrix::testing::LogCapture;

namespace {

const auto* const kLibrary = ::testing::AddGlobalTestEnvironment(new pemrix::testing::MosquittoLibrary);

TEST(MqttConnectorLoad, ValuesAreCheckedAndEveryProblemNamesItsKey) {
  VESK::MqttConnector c;
  const std::string generated = c._clientId;  // a UUID of its own, kept when the settings name none
  EXPECT_EQ(generated.size(), 36u);
  EXPECT_NE(VESK::MqttConnector()._clientId, generated);
  const json base = {
      {"host", "broker"}, {"port", 1883}, {"keep_alive", 60}, {"reconnect_time", 5}, {"encryption_mode", 0}};
  ASSERT_TRUE(c.LoadFromJSON(base));
  EXPECT_EQ(c._clientId, generated);
  // {key, value (null: left out), usable, the one ERROR text (none when empty)}
  const std::tuple<const char*, json, bool, const char*> cases[] = {
      {"port", 1883.0, true, ""},
      {"encryption_mode", 5, false, "'mqtt_client' : encryption_mode : expected one of 0, 1, 2, found number 5"},
      {"port", 1883.9, true, ""},  // read as files always were: truncated, with a WARNING
      {"port", "1883", false, "port : expected a number, found string \"1883\""},
      {"port", 1e20, true, "port : expected an integer from 1 to 65535, found 2147483647"},
      {"encryption_mode", -1, false, "encryption_mode : expected one of 0, 1, 2, found number -1"},
      {"keep_alive", 3, true, "keep_alive : expected 0 or 5 to 65535 seconds, found 3"},
      {"host", "", true, "host : is empty"},
      {"host", nullptr, false, "host : expected a string, found nothing"},
      {"client_id", 42, true, "client_id : expected a string, found number 42"},
  };
  for (const auto& [key, value, usable, problem] : cases) {
    SCOPED_TRACE(std::string(key) + " " + value.dump());
    LogCapture log;
    VESK::MqttConnector m;
    m._port = 7;
    json settings = base;
    value.is_null() ? (void)settings.erase(key) : (void)(settings[key] = value);
    EXPECT_EQ(m.LoadFromJSON(settings), usable);
    EXPECT_EQ(log.Count(problem, "ERROR"), *problem ? 1 : 0);
    EXPECT_TRUE(usable || std::string(key) != "port" || m._port == 7);  // a key that failed keeps its value
  }
  LogCapture log;
  json misspelt = base;
  misspelt["usernmae"] = "u";
  EXPECT_TRUE(c.LoadFromJSON(misspelt));
  EXPECT_EQ(log.Count("'mqtt_client' : unknown keys usernmae", "WARNING"), 1);
  EXPECT_FALSE(c.LoadFromJSON(json::array()));
}

TEST(MqttClientTls, PasswordCallbackWritesNoMoreThanTheBufferSize) {
  VESK::MqttConnector c;
  c._certPassword = "secret";
  std::unique_ptr<mosquitto, void (*)(mosquitto*)> m(mosquitto_new("pw", true, &c), mosquitto_destroy);
  char buf[8] = "xxxxxxx";
  EXPECT_EQ(VESK::MqttClient::PasswordCheckCallback(buf, 3, 0, m.get()), 3);
  EXPECT_STREQ(buf, "secxxxx");
  EXPECT_EQ(VESK::MqttClient::PasswordCheckCallback(buf, -1, 0, m.get()), 0);
  EXPECT_EQ(VESK::MqttClient::PasswordCheckCallback(nullptr, 7, 0, m.get()), 0);
  EXPECT_EQ(VESK::MqttClient::PasswordCheckCallback(buf, 7, 0, nullptr), 0);
}

}  // namespace
