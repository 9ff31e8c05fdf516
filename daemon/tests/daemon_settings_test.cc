// The service's start-up files: one ERROR line naming file and key for what it cannot use.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

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

// Requests pile up while a long install runs: the queue is bounded in count
// and bytes, and what does not fit is answered at once, not dropped silently.
TEST(DaemonSettings, AFullRequestQueueRefusesWithAReply) {
  const std::string big = std::string(1u << 19, 'x');
  for (const std::string& filler : {std::string(), big}) {
    VESK::DaemonService service;
    std::vector<std::string> replies;
    service._replyHandler = [&](const std::string& text) { replies.push_back(text); };
    LogCapture log;
    const auto queue = [&](int id) {
      const std::string text = nlohmann::json{{"command", "test"}, {"id", id}, {"pad", filler}}.dump();
      service.QueueRequest(text.data(), text.size());
    };
    int queued = 0;
    while (replies.empty()) queue(queued++);
    const size_t bytes = VESK::DaemonService::kMaxQueuedBytes / (big.size() + 30);  // 30: the rest of the text
    EXPECT_EQ(filler.empty() ? VESK::DaemonService::kMaxQueuedRequests : bytes, size_t(queued - 1));
    EXPECT_EQ(
        (nlohmann::json{{"command", "test"}, {"id", queued - 1}, {"result", 1}, {"message", "Too many requests!"}}),
        nlohmann::json::parse(replies.back()));
    queue(queued);  // refused as well, logged once
    EXPECT_EQ(1, log.Count("Request refused! queue full : ", "ERROR"));
    while (service.ExecuteNextRequest()) continue;
    EXPECT_EQ(size_t(queued + 1), replies.size());
    queue(0);  // room again
    EXPECT_TRUE(service.ExecuteNextRequest());
  }
}

}  // namespace
