#pragma once
// A real MQTT peer: a libmosquitto client on its own thread, bounded waits, exact payload bytes.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace pemrix::testing {

struct MqttMessage {
  std::string topic;
  std::string payload;  // embedded zeros included
  bool retain = false;
  int qos = 0;
};

// Initialised once per process; a probe never cleans it up under a client still in use.
inline void InitMosquittoOnce() { [[maybe_unused]] static const int rc = mosquitto_lib_init(); }

// libmosquitto for a whole test program, as the daemon's main does: pass to AddGlobalTestEnvironment.
struct MosquittoLibrary : ::testing::Environment {
  void SetUp() override { InitMosquittoOnce(); }
  void TearDown() override { mosquitto_lib_cleanup(); }
};

class MqttProbe {
 public:
  explicit MqttProbe(int port) : _port(port) {
    InitMosquittoOnce();
    static std::atomic<int> counter{0};
    _mosq = mosquitto_new(("probe-" + std::to_string(getpid()) + "-" + std::to_string(++counter)).c_str(), true, this);
    if (!_mosq) return;
    static auto acked = [](mosquitto*, void* obj, int mid) {
      Update(obj, [mid](MqttProbe& p) { p._acked.insert(mid); });
    };
    mosquitto_publish_callback_set(_mosq, acked);
    mosquitto_subscribe_callback_set(_mosq,
                                     [](mosquitto* m, void* obj, int mid, int, const int*) { acked(m, obj, mid); });
    mosquitto_connect_callback_set(
        _mosq, [](mosquitto*, void* obj, int rc) { Update(obj, [rc](MqttProbe& p) { p._connackRc = rc; }); });
    mosquitto_message_callback_set(_mosq, [](mosquitto*, void* obj, const mosquitto_message* msg) {
      const char* in = static_cast<const char*>(msg->payload);
      MqttMessage m{msg->topic ? msg->topic : "", in ? std::string(in, msg->payloadlen) : "", msg->retain, msg->qos};
      Update(obj, [&m](MqttProbe& p) { p._unconsumed.push_back(m); });
    });
  }
  ~MqttProbe() {
    if (!_mosq) return;
    mosquitto_disconnect(_mosq);
    if (_loopStarted) mosquitto_loop_stop(_mosq, true);
    mosquitto_destroy(_mosq);
  }
  MqttProbe(const MqttProbe&) = delete;
  MqttProbe& operator=(const MqttProbe&) = delete;

  bool Connect(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {  // CONNACK accepted
    Update(this, [](MqttProbe& p) { p._connackRc = -1; });
    if (!_mosq || mosquitto_connect_async(_mosq, "127.0.0.1", _port, 60) != MOSQ_ERR_SUCCESS) return false;
    if (!_loopStarted && mosquitto_loop_start(_mosq) != MOSQ_ERR_SUCCESS) return false;
    _loopStarted = true;
    return WaitFor([this] { return _connackRc >= 0; }, timeout) && _connackRc == 0;
  }
  // No lock is held across a library call (its thread may be inside a
  // callback); every acknowledged id is kept, so an early one is not missed.
  bool Subscribe(const std::string& topic, int qos = 2) {  // SUBACK within 5 s
    int mid = 0;
    return _mosq && mosquitto_subscribe(_mosq, &mid, topic.c_str(), qos) == MOSQ_ERR_SUCCESS &&
           WaitFor([&] { return _acked.count(mid) > 0; });
  }
  // Exact bytes; true once the message left (5 s at most).
  bool Publish(const std::string& topic, const std::string& payload, int qos = 2, bool retain = false) {
    int mid = 0;
    return _mosq &&
           mosquitto_publish(_mosq, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos,
                             retain) == MOSQ_ERR_SUCCESS &&
           WaitFor([&] { return _acked.count(mid) > 0; });
  }
  // Takes the oldest message on topic not taken yet.
  std::optional<MqttMessage> WaitMessage(const std::string& topic, std::chrono::milliseconds timeout) {
    std::optional<MqttMessage> found;
    auto take = [&] {
      auto it = std::find_if(_unconsumed.begin(), _unconsumed.end(), [&](auto& m) { return m.topic == topic; });
      if (it == _unconsumed.end()) return false;
      found = *it;
      _unconsumed.erase(it);
      return true;
    };
    WaitFor(take, timeout);
    return found;
  }
  void Clear() {  // forgets every message not taken yet
    Update(this, [](MqttProbe& p) { p._unconsumed.clear(); });
  }

 private:
  // Runs change under the lock (callbacks run on the probe's thread) and wakes the waiters.
  static void Update(void* probe, const std::function<void(MqttProbe&)>& change) {
    auto& self = *static_cast<MqttProbe*>(probe);
    std::lock_guard<std::mutex> lock(self._mutex);
    change(self);
    self._changed.notify_all();
  }
  bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> lock(_mutex);
    return _changed.wait_for(lock, timeout, cond);
  }

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
