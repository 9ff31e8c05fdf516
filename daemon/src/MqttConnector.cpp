#include "MqttConnector.h"

#include <easylogging++.h>
#include <uuid/uuid.h>

#include <climits>
#include <nlohmann/json.hpp>

#include "ConfigReader.h"

namespace VESK {

namespace {

std::string NewUuid() {
  uuid_t id;
  uuid_generate(id);
  char text[37];  // 36 characters and the terminator
  uuid_unparse(id, text);
  return text;
}

}  // namespace

MqttConnector::MqttConnector() { _clientId = NewUuid(); }

MqttConnector::~MqttConnector() = default;

bool MqttConnector::LoadFromJSON(const nlohmann::json& config) {
  frame::ConfigReader reader("mqtt_client", config);
  return Load(reader.Root());
}

bool MqttConnector::Load(frame::ConfigNode config) {
  using frame::IntRange;
  using frame::Need;
  // Every key is read before judging, so one check reports every problem;
  // a member changes only when its value passed.
  bool ok = config.Valid();
  config.Read("client_id", _clientId);
  ok &= config.Read("host", _host, Need::Required);
  ok &= config.Read("port", _port, IntRange{1, 65535}, Need::Required);
  ok &= config.Read("keep_alive", _keepAlive, IntRange{0, 65535}, Need::Required);
  ok &= config.Read("reconnect_time", _reconnectTime, IntRange{0, 86400}, Need::Required);
  ok &= config.OneOf("encryption_mode", _encryptionMode, {0, 1, 2}, Need::Required);
  config.Read("ca_file", _caFile);
  config.Read("cert_file", _certFile);
  config.Read("key_file", _keyFile);
  config.Read("cert_password", _certPassword);
  config.Read("username", _username);
  config.Read("password", _password);
  config.Done();
  return ok;
}

void MqttConnector::OnConnect(int rc) {
  MqttClient::OnConnect(rc);
  if (rc == 0) {
    if (_connectedHandler) _connectedHandler();
  } else if (_disconnectedHandler) {
    _disconnectedHandler();
  }
}

void MqttConnector::OnMessage(const mosquitto_message* msg) {
  MqttClient::OnMessage(msg);
  if (_messageHandler) _messageHandler(msg);
}

bool LoadMqttSettings(const std::string& path, MqttConnector& connector, std::string& topicRoot) {
  frame::ConfigReader settings(path);
  frame::ConfigNode root = settings.Root();
  // The topic root is read even when the client settings are unusable, so
  // that one run reports every problem; without it the default root stays.
  const bool usable = connector.Load(root.Object("mqtt_client", frame::Need::Required));
  root.Read("mqtt_topic_root", topicRoot, frame::Need::Required);
  root.Accept("signing");  // read by LoadSigningSettings
  root.Done();
  if (!usable) return false;
  if (!topicRoot.empty() && topicRoot.back() != '/') topicRoot += '/';
  return true;
}

}  // namespace VESK
