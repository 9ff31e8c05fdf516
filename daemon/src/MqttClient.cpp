#include "MqttClient.h"

#include <easylogging++.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>

namespace VESK {

namespace {

// libmosquitto's text for a return code; MOSQ_ERR_ERRNO means the system
// call's errno holds the actual cause. Read errno first: the library call
// for the text may change it.
std::string ErrorText(int rc) {
  const int saved = errno;
  std::string text = std::string(" (") + mosquitto_strerror(rc);
  if (rc == MOSQ_ERR_ERRNO) text += std::string(": ") + std::strerror(saved);
  return text + ")";
}

}  // namespace

MqttClient::MqttClient() = default;

MqttClient::MqttClient(const char* clientId, const std::string& host, int port, int keepAlive)
    : _clientId(clientId ? clientId : ""), _host(host), _port(port), _keepAlive(keepAlive) {}

MqttClient::~MqttClient() {
  if (_mosq) {
    mosquitto_destroy(_mosq);
    _mosq = nullptr;
  }
}

void MqttClient::SetWillMessage(WillMessageSetting& will) { _will = will; }

bool MqttClient::ConnectBroker() {
  if (_mosq && _connected) return true;
  const bool reconnect = _mosq != nullptr;
  std::string repeats;
  bool logged = true;
  if (reconnect) {
    logged = _reconnectLog.Allow("reconnect", repeats);
    if (logged) LOG(INFO) << "MQTT Client Reconnect to " << _host << ":" << _port << ", client id = " << _clientId;
    // Every connection gets a fresh instance. An old one keeps the incoming
    // QoS 2 messages of the lost link that still await their release, and
    // hands them over as soon as a new broker happens to reuse their packet
    // ids: requests of a dead connection would run in place of new ones.
    // With clean sessions nothing received on an earlier link may survive.
    mosquitto_destroy(_mosq);
    _mosq = nullptr;
  } else {
    if (_clientId.empty() || _host.empty()) return false;
    // A failed TLS set-up is retried on the reconnect schedule, not on every
    // poll step, so a broken certificate path cannot flood the log.
    if (_tlsSetupFailed && std::chrono::steady_clock::now() - _lastConnectTime < std::chrono::seconds(_reconnectTime)) {
      return false;
    }
  }
  if (!CreateInstance(!reconnect)) return false;
  if (!reconnect) LOG(INFO) << "MQTT Client Connect to " << _host << ":" << _port << ", client id = " << _clientId;
  int rc = mosquitto_connect_async(_mosq, _host.c_str(), _port, _keepAlive);
  const std::string why = ErrorText(rc);
  _lastConnectTime = std::chrono::steady_clock::now();
  if (rc == MOSQ_ERR_SUCCESS) return true;
  // The instance stays: the next attempt, after the pause, replaces it.
  if (logged) LOG(ERROR) << "mosquitto_connect failed, return = " << rc << why << repeats;
  return false;
}

bool MqttClient::CreateInstance(bool verbose) {
  _mosq = mosquitto_new(_clientId.c_str(), true, this);
  if (!_mosq) {
    LOG(ERROR) << "Unable to create new mosquitto handle.";
    return false;
  }
  mosquitto_connect_callback_set(_mosq, ConnectCallback);
  mosquitto_message_callback_set(_mosq, MessageCallback);
  mosquitto_subscribe_callback_set(_mosq, SubscribeCallback);
  mosquitto_publish_callback_set(_mosq, PublishCallback);
  // Requests, replies and the QoS 2 handshakes are small packets: with
  // Nagle's algorithm each would wait for the peer's delayed ACK (~40 ms).
  mosquitto_int_option(_mosq, MOSQ_OPT_TCP_NODELAY, 1);

  if (_will.enable && !_will.topic.empty() && !_will.message.empty()) {
    if (verbose)
      LOG(INFO) << "Set Last Will Message : " << _will.topic << " <- " << _will.message << " , QoS = " << _will.qos
                << ", Retain=" << (_will.retain ? 1 : 0);
    mosquitto_will_set(_mosq, _will.topic.c_str(), static_cast<int>(_will.message.size()), _will.message.data(),
                       _will.qos, _will.retain);
  } else {
    mosquitto_will_clear(_mosq);
  }

  if (!_username.empty()) {
    if (verbose) LOG(INFO) << "Using username and password.";
    mosquitto_username_pw_set(_mosq, _username.c_str(), _password.c_str());
  }

  // When libmosquitto rejects the TLS settings (a CA, certificate or key
  // file it cannot open, a key that is not hex) it leaves the instance in
  // plain TCP; connecting anyway would send the credentials in clear to
  // whatever listens on the port. Such an instance is dropped instead.
  int tlsRc = MOSQ_ERR_SUCCESS;
  if (_encryptionMode == 1) {
    if (verbose) LOG(INFO) << "Using TLS, Certificate Mode.";
    if (verbose) LOG(INFO) << "CA File=" << _caFile << ", Cert File=" << _certFile << ", Key File=" << _keyFile;
    mosquitto_tls_insecure_set(_mosq, true);
    tlsRc =
        mosquitto_tls_set(_mosq, _caFile.c_str(), nullptr, _certFile.c_str(), _keyFile.c_str(), PasswordCheckCallback);
  } else if (_encryptionMode == 2) {
    const std::string& identity = _pskIdentity.empty() ? _clientId : _pskIdentity;
    tlsRc = mosquitto_tls_psk_set(_mosq, _certPassword.c_str(), identity.c_str(), nullptr);
  }
  _tlsSetupFailed = tlsRc != MOSQ_ERR_SUCCESS;
  if (_tlsSetupFailed) {
    const std::string why = ErrorText(tlsRc);
    LOG(ERROR) << "MQTT TLS set-up failed, return = " << tlsRc << why;
    mosquitto_destroy(_mosq);
    _mosq = nullptr;
    _lastConnectTime = std::chrono::steady_clock::now();
    return false;
  }
  return true;
}

void MqttClient::RunOnce(int waitMs) {
  const auto pause = std::chrono::milliseconds(waitMs > 0 ? waitMs : 0);
  if (!_mosq) {
    ConnectBroker();
    if (!_mosq || mosquitto_socket(_mosq) < 0) std::this_thread::sleep_for(pause);
    return;
  }
  // The library waits on its socket; without one it returns at once.
  if (mosquitto_socket(_mosq) < 0) std::this_thread::sleep_for(pause);
  int rc = mosquitto_loop(_mosq, waitMs > 0 ? waitMs : 0, 1);
  if (rc == MOSQ_ERR_SUCCESS && _connected) return;
  if (rc != MOSQ_ERR_SUCCESS && _connected) _lastConnectTime = std::chrono::steady_clock::now();
  _connected = false;
  _inFlight.clear();
  if (std::chrono::steady_clock::now() - _lastConnectTime >= std::chrono::seconds(_reconnectTime)) ConnectBroker();
}

void MqttClient::Publish(const std::string& topic, int qos, bool retain, const std::string& payload) {
  // The zero byte after the text goes on the wire too; peers read it.
  SendPublish(topic, qos, retain, payload.c_str(), payload.size() + 1);
}

void MqttClient::Publish(const std::string& topic, int qos, bool retain, const std::vector<uint8_t>& payload) {
  SendPublish(topic, qos, retain, payload.data(), payload.size());
}

void MqttClient::SendPublish(const std::string& topic, int qos, bool retain, const void* bytes, size_t length) {
  if (!_connected) {
    LOG(ERROR) << "MQTT Broker not connect!";
    return;
  }
  if (length > static_cast<size_t>(INT_MAX)) {
    LOG(ERROR) << "MQTT Publish failed, payload too large, topic = " << topic;
    return;
  }
  int mid = 0;
  int rc = mosquitto_publish(_mosq, &mid, topic.c_str(), static_cast<int>(length), bytes, qos, retain);
  if (rc != MOSQ_ERR_SUCCESS) {
    const std::string why = ErrorText(rc);
    LOG(ERROR) << "MQTT Publish failed, return = " << rc << why << ", topic = " << topic;
  } else if (qos > 0) {
    _inFlight.insert(mid);
  }
}

void MqttClient::Subscribe(const std::vector<std::string>& topics, int qos) {
  std::vector<std::shared_ptr<_subscribeItem>> added;
  for (const auto& topic : topics) {
    if (_subscribeItems.count(topic)) continue;
    auto item = std::make_shared<_subscribeItem>();
    item->topic = topic;
    item->qos = qos;
    _subscribeItems[topic] = item;
    added.push_back(item);
  }
  if (!_connected) return;
  for (const auto& item : added) mosquitto_subscribe(_mosq, nullptr, item->topic.c_str(), item->qos);
}

void MqttClient::Unsubscribe(const std::vector<std::string>& topics) {
  std::vector<std::shared_ptr<_subscribeItem>> removed;
  for (const auto& topic : topics) {
    auto it = _subscribeItems.find(topic);
    if (it != _subscribeItems.end()) removed.push_back(it->second);
  }
  for (const auto& item : removed) _subscribeItems.erase(item->topic);
  if (!_connected) return;
  for (const auto& item : removed) mosquitto_unsubscribe(_mosq, nullptr, item->topic.c_str());
}

void MqttClient::Disconnect() {
  if (!_mosq) return;
  mosquitto_disconnect(_mosq);
  mosquitto_destroy(_mosq);
  _mosq = nullptr;
}

void MqttClient::OnConnect(int /*rc*/) {}

void MqttClient::OnMessage(const mosquitto_message* /*msg*/) {}

void MqttClient::OnSubscribe(int /*mid*/, int /*qos_count*/, const int* /*granted_qos*/) {}

void MqttClient::ConnectCallback(mosquitto* mosq, void* obj, int rc) {
  if (!obj) return;
  auto* self = static_cast<MqttClient*>(obj);
  self->_connected = rc == 0;
  if (rc == 0) {
    self->_reconnectLog.Forget("reconnect");
    // Every connection starts a clean session: the broker remembers nothing.
    for (const auto& entry : self->_subscribeItems) {
      mosquitto_subscribe(mosq, nullptr, entry.second->topic.c_str(), entry.second->qos);
    }
  }
  self->OnConnect(rc);
}

void MqttClient::MessageCallback(mosquitto* /*mosq*/, void* obj, const mosquitto_message* msg) {
  if (!obj) return;
  static_cast<MqttClient*>(obj)->OnMessage(msg);
}

void MqttClient::PublishCallback(mosquitto* /*mosq*/, void* obj, int mid) {
  if (obj == nullptr) return;
  static_cast<MqttClient*>(obj)->_inFlight.erase(mid);
}

void MqttClient::SubscribeCallback(mosquitto* /*mosq*/, void* obj, int mid, int qos_count, const int* granted_qos) {
  if (!obj) return;
  static_cast<MqttClient*>(obj)->OnSubscribe(mid, qos_count, granted_qos);
}

int MqttClient::PasswordCheckCallback(char* buf, int size, int /*rwflag*/, void* userdata) {
  if (!buf || !userdata || size <= 0) return 0;
  auto* self = static_cast<MqttClient*>(mosquitto_userdata(static_cast<mosquitto*>(userdata)));
  if (!self) return 0;
  std::memset(buf, 0, static_cast<size_t>(size));
  const std::string& password = self->_certPassword;
  size_t n = password.size();
  if (static_cast<size_t>(size) > n) {
    std::memcpy(buf, password.c_str(), n + 1);
    return static_cast<int>(n);
  }
  std::memcpy(buf, password.data(), static_cast<size_t>(size));
  return size;
}

}  // namespace VESK
