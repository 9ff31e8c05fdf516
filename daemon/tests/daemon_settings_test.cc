// What the service makes of its start-up files, in-process: device id,
// topic root, and settings it cannot use.
#include <gtest/gtest.h>

#include "DaemonService.h"
#include "LogCapture.h"
#include "TestSupport.h"

namespace pemrix::testing {
namespace {

const char* const kClient =
    R"("mqtt_client": {"host": "127.0.0.1", "port": 1, "keep_alive": 5, "reconnect_time": 1, "encryption_mode": 0})";

// Runs Initial on these file contents (gateway nullptr: no such file); what it
// logs is left in log.
bool Initial(const char* gateway, const std::string& mqtt, LogCapture& log) {
  TempDir dir;
  if (gateway) WriteFile(dir.File("gateway.json"), gateway);
  WriteFile(dir.File("mqtt.json"), mqtt);
  VESK::DaemonService service(dir.File("gateway.json"), dir.File("mqtt.json"));
  log.Clear();
  bool ok = service.Initial();
  service.Destory();
  return ok;
}

TEST(DaemonSettings, DeviceIdAndTopicRoot) {
  struct Case {
    const char* gateway;
    std::string root;  // mqtt_topic_root member, empty: absent
    const char* requestTopic;
    const char* error;  // expected ERROR text, or nullptr for none
  };
  const Case cases[] = {
      {R"({"id": "gw01"})", R"("/pemrix/gateways")", "/pemrix/gateways/gw01/request", nullptr},
      {R"({"id": "gw01"})", R"("")", "gw01/request", nullptr},
      {nullptr, R"("/r/")", "/r/gateway/request", nullptr},
      {"not json", R"("/r/")", "/r/gateway/request", "gateway.json' : [json.exception.parse_error"},
      {R"({"id": ""})", R"("/r/")", "/r/gateway/request", nullptr},
      {R"({"id": 42})", R"("/r/")", "/r/gateway/request", "gateway.json' : id : expected a string, found number 42"},
      {R"({"name": "x"})", R"("/r/")", "/r/gateway/request", "id : expected a string, found nothing"},
      {R"({"id": "gw01"})", "", "/pemrix/gateways/gw01/request",
       "mqtt.json' : mqtt_topic_root : expected a string, found nothing"},
      {R"({"id": "gw01"})", "7", "/pemrix/gateways/gw01/request",
       "mqtt_topic_root : expected a string, found number 7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.gateway ? c.gateway : "(no file)") + " root " + c.root);
    LogCapture log;
    std::string mqtt = "{" + std::string(kClient) + (c.root.empty() ? "" : ", \"mqtt_topic_root\": " + c.root) + "}";
    ASSERT_TRUE(Initial(c.gateway, mqtt, log));
    EXPECT_TRUE(log.Contains(std::string("Request Topic  : ") + c.requestTopic, "INFO"));
    EXPECT_EQ(c.error ? 1 : 0, log.Count("", "ERROR"));
    if (c.error) {
      EXPECT_TRUE(log.Contains(c.error, "ERROR"));
    }
  }
}

TEST(DaemonSettings, UnusableMqttSettingsFailWithOneErrorLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"null", "top level : expected an object, found null"},
      {"[1]", "top level : expected an object, found array [1]"},
      {R"({"mqtt_client": "x", "mqtt_topic_root": ""})", "mqtt_client : expected an object, found string \"x\""},
      {R"({"mqtt_client": {"host": "h", "port": 1, "keep_alive": 5, "reconnect_time": 1}, "mqtt_topic_root": ""})",
       "mqtt_client.encryption_mode : expected one of 0, 1, 2, found nothing"},
      {R"({"mqtt_client": {"host": 5, "port": 1, "keep_alive": 5, "reconnect_time": 1, "encryption_mode": 0},)"
       R"( "mqtt_topic_root": ""})",
       "mqtt_client.host : expected a string, found number 5"},
  };
  for (const auto& [file, error] : cases) {
    SCOPED_TRACE(file);
    LogCapture log;
    EXPECT_FALSE(Initial(nullptr, file, log));
    EXPECT_EQ(1, log.Count("", "ERROR"));
    EXPECT_TRUE(log.Contains("/mqtt.json' : ", "ERROR"));
    EXPECT_TRUE(log.Contains(error, "ERROR"));
  }
}

}  // namespace
}  // namespace pemrix::testing
