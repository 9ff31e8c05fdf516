// The service's start-up files: one ERROR line naming file and key for what it cannot use.
#include <gtest/gtest.h>

#include <tuple>

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
  // {gateway.json (nullptr: none), mqtt.json, request topic (nullptr: Initial fails), the one ERROR line}
  const std::tuple<const char*, std::string, const char*, const char*> rows[] = {
      {R"({"id": "gw01"})", Mqtt(R"("")"), "gw01/request", nullptr},
      {nullptr, Mqtt(R"("/r/")"), "/r/gateway/request", nullptr},
      {"not json", Mqtt(R"("/r/")"), "/r/gateway/request", "/gateway.json' : [json.exception.parse_error"},
      {R"({"id": 42})", Mqtt(R"("/r/")"), "/r/gateway/request",
       "/gateway.json' : id : expected a string, found number 42"},
      {R"({"id": "gw01"})", Mqtt("7"), "/pemrix/gateways/gw01/request",
       "mqtt_topic_root : expected a string, found number 7"},
      {nullptr, "[1]", nullptr, "/mqtt.json' : top level : expected an object, found array [1]"},
  };
  for (const auto& [gateway, mqtt, requestTopic, error] : rows) {
    SCOPED_TRACE(std::string(gateway ? gateway : "(no file)") + " " + mqtt);
    TempDir dir;
    if (gateway) WriteFile(dir.File("gateway.json"), gateway);
    WriteFile(dir.File("mqtt.json"), mqtt);
    VESK::DaemonService service(dir.File("gateway.json"), dir.File("mqtt.json"));
    LogCapture log;
    EXPECT_EQ(requestTopic != nullptr, service.Initial());
    service.Destory();
    EXPECT_TRUE(!requestTopic || log.Contains(std::string("Request Topic  : ") + requestTopic, "INFO"));
    EXPECT_EQ(error ? 1 : 0, log.Count("", "ERROR"));
    EXPECT_TRUE(!error || log.Contains(error, "ERROR"));
  }
}

}  // namespace
