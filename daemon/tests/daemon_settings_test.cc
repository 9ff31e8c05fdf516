// The service's start-up files: one ERROR line naming file and key for what it cannot use.
#include <gtest/gtest.h>

#include "DaemonService.h"
#include "LogCapture.h"
#include "TestSupport.h"

using namespace pemrix::testing;
namespace {

std::string Mqtt(const std::string& root) {
  return R"({"mqtt_client": {"host": "127.0.0.1", "port": 1, "keep_alive": 5, "reconnect_time": 1, )"
         R"("encryption_mode": 0})" +
         (root.empty() ? "" : ", \"mqtt_topic_root\": " + root) + "}";
}

TEST(DaemonSettings, DeviceIdTopicRootAndUnusableSettings) {
  const struct {
    const char* gateway;  // nullptr: no such file
    std::string mqtt;
    const char* requestTopic;  // nullptr: Initial fails
    const char* error;         // the one ERROR line, nullptr for none
  } rows[] = {
      {R"({"id": "gw01"})", Mqtt(R"("")"), "gw01/request", nullptr},
      {nullptr, Mqtt(R"("/r/")"), "/r/gateway/request", nullptr},
      {"not json", Mqtt(R"("/r/")"), "/r/gateway/request", "/gateway.json' : [json.exception.parse_error"},
      {R"({"id": 42})", Mqtt(R"("/r/")"), "/r/gateway/request",
       "/gateway.json' : id : expected a string, found number 42"},
      {R"({"id": "gw01"})", Mqtt("7"), "/pemrix/gateways/gw01/request",
       "mqtt_topic_root : expected a string, found number 7"},
      {nullptr, "[1]", nullptr, "/mqtt.json' : top level : expected an object, found array [1]"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.gateway ? row.gateway : "(no file)") + " " + row.mqtt);
    TempDir dir;
    if (row.gateway) WriteFile(dir.File("gateway.json"), row.gateway);
    WriteFile(dir.File("mqtt.json"), row.mqtt);
    VESK::DaemonService service(dir.File("gateway.json"), dir.File("mqtt.json"));
    LogCapture log;
    EXPECT_EQ(row.requestTopic != nullptr, service.Initial());
    service.Destory();
    EXPECT_TRUE(!row.requestTopic || log.Contains(std::string("Request Topic  : ") + row.requestTopic, "INFO"));
    EXPECT_EQ(row.error ? 1 : 0, log.Count("", "ERROR"));
    EXPECT_TRUE(!row.error || log.Contains(row.error, "ERROR"));
  }
}

}  // namespace
