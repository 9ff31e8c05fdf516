#include "MqttProbe.h"

#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

namespace pemrix::testing {

// Initialised once per process; a probe never cleans it up under a client
// still in use (the code under test or another probe).
static void InitLibraryOnce() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

void MosquittoLibrary::SetUp() { InitLibraryOnce(); }

void MosquittoLibrary::TearDown() { mosquitto_lib_cleanup(); }

MqttProbe::MqttProbe(int port) : _port(port) {
  InitLibraryOnce();
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
    MqttMessage m{msg->topic ? msg->topic : "", "", msg->retain, msg->qos};
    if (msg->payload && msg->payloadlen > 0) m.payload.assign(static_cast<const char*>(msg->payload), msg->payloadlen);
    Update(obj, [&m](MqttProbe& p) { p._unconsumed.push_back(m); });
  });
}

MqttProbe::~MqttProbe() {
  if (!_mosq) return;
  mosquitto_disconnect(_mosq);
  if (_loopStarted) mosquitto_loop_stop(_mosq, true);
  mosquitto_destroy(_mosq);
}

void MqttProbe::Update(void* probe, const std::function<void(MqttProbe&)>& change) {
  auto& self = *static_cast<MqttProbe*>(probe);
  std::lock_guard<std::mutex> lock(self._mutex);
  change(self);
  self._changed.notify_all();
}

bool MqttProbe::WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(_mutex);
  return _changed.wait_for(lock, timeout, cond);
}

bool MqttProbe::Connect(std::chrono::milliseconds timeout) {
  Update(this, [](MqttProbe& p) { p._connackRc = -1; });
  if (!_mosq || mosquitto_connect_async(_mosq, "127.0.0.1", _port, 60) != MOSQ_ERR_SUCCESS) return false;
  if (!_loopStarted && mosquitto_loop_start(_mosq) != MOSQ_ERR_SUCCESS) return false;
  _loopStarted = true;
  return WaitFor([this] { return _connackRc >= 0; }, timeout) && _connackRc == 0;
}

// No lock is held across a library call (its thread may be inside a
// callback); every acknowledged id is kept, so an early one is not missed.
bool MqttProbe::Subscribe(const std::string& topic, int qos) {
  int mid = 0;
  return _mosq && mosquitto_subscribe(_mosq, &mid, topic.c_str(), qos) == MOSQ_ERR_SUCCESS &&
         WaitFor([&] { return _acked.count(mid) > 0; });
}

bool MqttProbe::Publish(const std::string& topic, const std::string& payload, int qos, bool retain) {
  int mid = 0;
  return _mosq &&
         mosquitto_publish(_mosq, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos, retain) ==
             MOSQ_ERR_SUCCESS &&
         WaitFor([&] { return _acked.count(mid) > 0; });
}

std::optional<MqttMessage> MqttProbe::WaitMessage(const std::string& topic, std::chrono::milliseconds timeout) {
  std::optional<MqttMessage> found;
  WaitFor(
      [&] {
        auto it = std::find_if(_unconsumed.begin(), _unconsumed.end(), [&](auto& m) { return m.topic == topic; });
        if (it == _unconsumed.end()) return false;
        found = *it;
        _unconsumed.erase(it);
        return true;
      },
      timeout);
  return found;
}

void MqttProbe::Clear() {
  Update(this, [](MqttProbe& p) { p._unconsumed.clear(); });
}

}  // namespace pemrix::testing
