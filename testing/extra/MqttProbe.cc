#include "MqttProbe.h"

#include <mosquitto.h>
#include <unistd.h>

#include <atomic>

namespace pemrix::testing {

namespace {

// Initialised once per test process and never cleaned up by a probe: its
// clean-up must not pull the library from under a client still in use (the
// code under test or another probe).
void InitLibraryOnce() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

}  // namespace

void MosquittoLibrary::SetUp() { InitLibraryOnce(); }

void MosquittoLibrary::TearDown() { mosquitto_lib_cleanup(); }

MqttProbe::MqttProbe(int port, const std::string& clientId) : _port(port) {
  InitLibraryOnce();
  static std::atomic<int> counter{0};
  const std::string id =
      clientId.empty() ? "probe-" + std::to_string(getpid()) + "-" + std::to_string(++counter) : clientId;
  _mosq = mosquitto_new(id.c_str(), true, this);
  if (!_mosq) return;
  mosquitto_connect_callback_set(
      _mosq, [](mosquitto*, void* obj, int rc) { Update(obj, [rc](MqttProbe& p) { p._connackRc = rc; }); });
  mosquitto_subscribe_callback_set(_mosq, [](mosquitto*, void* obj, int mid, int, const int*) {
    Update(obj, [mid](MqttProbe& p) { p._acked.insert(mid); });
  });
  mosquitto_publish_callback_set(
      _mosq, [](mosquitto*, void* obj, int mid) { Update(obj, [mid](MqttProbe& p) { p._acked.insert(mid); }); });
  mosquitto_message_callback_set(_mosq, [](mosquitto*, void* obj, const mosquitto_message* msg) {
    MqttMessage m;
    m.topic = msg->topic ? msg->topic : "";
    if (msg->payload && msg->payloadlen > 0) m.payload.assign(static_cast<const char*>(msg->payload), msg->payloadlen);
    m.retain = msg->retain;
    m.qos = msg->qos;
    Update(obj, [&m](MqttProbe& p) {
      p._all.push_back(m);
      p._unconsumed.push_back(m);
    });
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
  if (!_mosq) return false;
  Update(this, [](MqttProbe& p) { p._connackRc = -1; });
  if (mosquitto_connect_async(_mosq, "127.0.0.1", _port, 60) != MOSQ_ERR_SUCCESS) return false;
  if (!_loopStarted && mosquitto_loop_start(_mosq) != MOSQ_ERR_SUCCESS) return false;
  _loopStarted = true;
  return WaitFor([this] { return _connackRc >= 0; }, timeout) && _connackRc == 0;
}

// No lock is held across a library call (its thread may be inside a
// callback); every acknowledged id is kept, so an early one is not missed.
bool MqttProbe::Subscribe(const std::string& topic, int qos, std::chrono::milliseconds timeout) {
  int mid = 0;
  if (!_mosq || mosquitto_subscribe(_mosq, &mid, topic.c_str(), qos) != MOSQ_ERR_SUCCESS) return false;
  return WaitFor([&] { return _acked.count(mid) > 0; }, timeout);
}

bool MqttProbe::Publish(const std::string& topic, const std::string& payload, int qos, bool retain) {
  int mid = 0;
  if (!_mosq || mosquitto_publish(_mosq, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos,
                                  retain) != MOSQ_ERR_SUCCESS) {
    return false;
  }
  return WaitFor([&] { return _acked.count(mid) > 0; }, std::chrono::seconds(5));
}

std::optional<MqttMessage> MqttProbe::WaitMessage(const std::string& topic, std::chrono::milliseconds timeout) {
  std::optional<MqttMessage> found;
  WaitFor(
      [&] {
        for (auto it = _unconsumed.begin(); it != _unconsumed.end(); ++it) {
          if (it->topic != topic) continue;
          found = *it;
          _unconsumed.erase(it);
          return true;
        }
        return false;
      },
      timeout);
  return found;
}

std::vector<MqttMessage> MqttProbe::Messages() {
  std::lock_guard<std::mutex> lock(_mutex);
  return _all;
}

void MqttProbe::Clear() {
  Update(this, [](MqttProbe& p) {
    p._all.clear();
    p._unconsumed.clear();
  });
}

}  // namespace pemrix::testing
