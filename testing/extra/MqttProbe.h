#pragma once
// A real MQTT peer for tests: a libmosquitto client on its own network thread
// (plain TCP to 127.0.0.1). Every wait is bounded; received messages are kept
// with their exact payload bytes.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct mosquitto;

namespace pemrix::testing {

struct MqttMessage {
  std::string topic;
  std::string payload;  // exact bytes, embedded zeros included
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
  // clientId empty: a unique one is made up.
  explicit MqttProbe(int port, const std::string& clientId = "");
  ~MqttProbe();  // disconnects, stops its thread
  MqttProbe(const MqttProbe&) = delete;
  MqttProbe& operator=(const MqttProbe&) = delete;

  // Waits for the broker's CONNACK (accepted).
  bool Connect(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Waits for the SUBACK.
  bool Subscribe(const std::string& topic, int qos = 2, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Exact bytes, no terminator; waits (5 s at most) until the message left.
  bool Publish(const std::string& topic, const std::string& payload, int qos = 2, bool retain = false);
  // Takes the oldest unconsumed message on topic.
  std::optional<MqttMessage> WaitMessage(const std::string& topic, std::chrono::milliseconds timeout);
  // All received so far (consumed or not).
  std::vector<MqttMessage> Messages();
  void Clear();

 private:
  // Runs change under the lock (callbacks run on the probe's thread) and wakes the waiters.
  static void Update(void* probe, const std::function<void(MqttProbe&)>& change);
  bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout);

  int _port;
  mosquitto* _mosq = nullptr;
  bool _loopStarted = false;

  std::mutex _mutex;  // guards everything below
  std::condition_variable _changed;
  int _connackRc = -1;   // -1: none yet
  std::set<int> _acked;  // ids of acknowledged subscribes and completed publishes
  std::vector<MqttMessage> _all;
  std::deque<MqttMessage> _unconsumed;
};

}  // namespace pemrix::testing
