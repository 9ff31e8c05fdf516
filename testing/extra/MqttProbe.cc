#include "MqttProbe.h"

#include <mosquitto.h>
#include <unistd.h>

#include <atomic>

namespace pemrix::testing {

namespace {

// Initialised once per test process and never cleaned up: a probe's
// clean-up must not pull the library from under a client still in use
// (the code under test or another probe).
void InitLibraryOnce() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

std::string UniqueId() {
  static std::atomic<int> counter{0};
  return "probe-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

}  // namespace

void MosquittoLibrary::SetUp() { InitLibraryOnce(); }

void MosquittoLibrary::TearDown() { mosquitto_lib_cleanup(); }

MqttProbe::MqttProbe(int port, const std::string& clientId)
    : _port(port), _clientId(clientId.empty() ? UniqueId() : clientId) {
  InitLibraryOnce();
  _mosq = mosquitto_new(_clientId.c_str(), true, this);
  if (!_mosq) return;
  mosquitto_connect_callback_set(_mosq, OnConnect);
  mosquitto_subscribe_callback_set(_mosq, OnSubscribe);
  mosquitto_publish_callback_set(_mosq, OnPublish);
  mosquitto_message_callback_set(_mosq, OnMessage);
}

MqttProbe::~MqttProbe() {
  if (_mosq) {
    mosquitto_disconnect(_mosq);
    if (_loopStarted) mosquitto_loop_stop(_mosq, true);
    mosquitto_destroy(_mosq);
  }
}

bool MqttProbe::WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(_mutex);
  return _changed.wait_for(lock, timeout, cond);
}

bool MqttProbe::Connect(std::chrono::milliseconds timeout) {
  if (!_mosq) return false;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    _connackRc = -1;
  }
  if (mosquitto_connect_async(_mosq, "127.0.0.1", _port, 60) != MOSQ_ERR_SUCCESS) return false;
  if (!_loopStarted) {
    if (mosquitto_loop_start(_mosq) != MOSQ_ERR_SUCCESS) return false;
    _loopStarted = true;
  }
  return WaitFor([this] { return _connackRc >= 0; }, timeout) && _connackRc == 0;
}

bool MqttProbe::Subscribe(const std::string& topic, int qos, std::chrono::milliseconds timeout) {
  if (!_mosq) return false;
  // No lock across the library call (its thread may be inside our callback);
  // every acknowledged id is kept, so an early SUBACK is not missed.
  int mid = 0;
  if (mosquitto_subscribe(_mosq, &mid, topic.c_str(), qos) != MOSQ_ERR_SUCCESS) return false;
  return WaitFor(
      [&] {
        for (int m : _subacks)
          if (m == mid) return true;
        return false;
      },
      timeout);
}

bool MqttProbe::Publish(const std::string& topic, const std::string& payload, int qos, bool retain) {
  if (!_mosq) return false;
  int mid = 0;
  if (mosquitto_publish(_mosq, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos, retain) !=
      MOSQ_ERR_SUCCESS) {
    return false;
  }
  return WaitFor(
      [&] {
        for (int m : _published)
          if (m == mid) return true;
        return false;
      },
      std::chrono::seconds(5));
}

std::optional<MqttMessage> MqttProbe::WaitMessage(const std::string& topic, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(_mutex);
  std::optional<MqttMessage> found;
  _changed.wait_for(lock, timeout, [&] {
    for (auto it = _unconsumed.begin(); it != _unconsumed.end(); ++it) {
      if (it->topic == topic) {
        found = *it;
        _unconsumed.erase(it);
        return true;
      }
    }
    return false;
  });
  return found;
}

std::vector<MqttMessage> MqttProbe::Messages() {
  std::lock_guard<std::mutex> lock(_mutex);
  return _all;
}

void MqttProbe::Clear() {
  std::lock_guard<std::mutex> lock(_mutex);
  _all.clear();
  _unconsumed.clear();
}

void MqttProbe::OnConnect(mosquitto*, void* obj, int rc) {
  auto* self = static_cast<MqttProbe*>(obj);
  std::lock_guard<std::mutex> lock(self->_mutex);
  self->_connackRc = rc;
  self->_changed.notify_all();
}

void MqttProbe::OnSubscribe(mosquitto*, void* obj, int mid, int, const int*) {
  auto* self = static_cast<MqttProbe*>(obj);
  std::lock_guard<std::mutex> lock(self->_mutex);
  self->_subacks.push_back(mid);
  self->_changed.notify_all();
}

void MqttProbe::OnPublish(mosquitto*, void* obj, int mid) {
  auto* self = static_cast<MqttProbe*>(obj);
  std::lock_guard<std::mutex> lock(self->_mutex);
  self->_published.push_back(mid);
  self->_changed.notify_all();
}

void MqttProbe::OnMessage(mosquitto*, void* obj, const mosquitto_message* msg) {
  auto* self = static_cast<MqttProbe*>(obj);
  MqttMessage m;
  m.topic = msg->topic ? msg->topic : "";
  if (msg->payload && msg->payloadlen > 0) m.payload.assign(static_cast<const char*>(msg->payload), msg->payloadlen);
  m.retain = msg->retain;
  m.qos = msg->qos;
  std::lock_guard<std::mutex> lock(self->_mutex);
  self->_all.push_back(m);
  self->_unconsumed.push_back(m);
  self->_changed.notify_all();
}

}  // namespace pemrix::testing
