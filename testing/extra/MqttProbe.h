#pragma once
// A real MQTT peer for tests: a libmosquitto client on its own network thread
// (plain TCP to 127.0.0.1). Every wait is bounded; payloads keep their exact bytes.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>

struct mosquitto;

namespace pemrix::testing {

struct MqttMessage {
  std::string topic;
  std::string payload;  // embedded zeros included
  bool retain = false;
  int qos = 0;
};

// libmosquitto set up for a whole test program, as the daemon's main does:
//   ::testing::AddGlobalTestEnvironment(new pemrix::testing::MosquittoLibrary);
class MosquittoLibrary : public ::testing::Environment {
 public:
  void SetUp() override;
  void TearDown() override;
};

class MqttProbe {
 public:
  explicit MqttProbe(int port);
  ~MqttProbe();
  MqttProbe(const MqttProbe&) = delete;
  MqttProbe& operator=(const MqttProbe&) = delete;

  bool Connect(std::chrono::milliseconds timeout = std::chrono::seconds(5));  // CONNACK accepted
  bool Subscribe(const std::string& topic, int qos = 2);                      // SUBACK within 5 s
  // Exact bytes; true once the message left (5 s at most).
  bool Publish(const std::string& topic, const std::string& payload, int qos = 2, bool retain = false);
  // Takes the oldest message on topic not taken yet.
  std::optional<MqttMessage> WaitMessage(const std::string& topic, std::chrono::milliseconds timeout);
  void Clear();  // forgets every message not taken yet

 private:
  // Runs change under the lock (callbacks run on the probe's thread) and wakes the waiters.
  static void Update(void* probe, const std::function<void(MqttProbe&)>& change);
  bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout = std::chrono::seconds(5));

  int _port;
  mosquitto* _mosq = nullptr;
  bool _loopStarted = false;
  std::mutex _mutex;  // guards everything below
  std::condition_variable _changed;
  int _connackRc = -1;   // -1: none yet
  std::set<int> _acked;  // ids of acknowledged subscribes and completed publishes
  std::deque<MqttMessage> _unconsumed;
};

}  // namespace pemrix::testing
