#include "MqttConnector.h"

#include <easylogging++.h>
#include <uuid/uuid.h>

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
  using frame::Need;
  // Every key is read before judging, so one check reports every problem;
  // a member changes only when its value passed. Numbers are read as they
  // always were (fractions truncated, booleans as 0/1, with a WARNING), so a
  // file that ran before still runs. Only what makes the daemon useless is
  // fatal; what would fail later, when connecting, is an ERROR line now
  // (and fails --check-config) but the daemon keeps retrying and logging why.
  bool ok = config.Valid();
  config.Read("client_id", _clientId);
  ok &= config.Read("host", _host, Need::Required);
  ok &= config.Number("port", _port, Need::Required);
  ok &= config.Number("keep_alive", _keepAlive, Need::Required);
  ok &= config.Number("reconnect_time", _reconnectTime, Need::Required);
  // Falling back to plain TCP, as an unknown mode once did, would send the
  // credentials in clear: refused.
  int mode = 0;
  const bool modeOk = config.Number("encryption_mode", mode, Need::Required) &&
                      config.Check("encryption_mode", mode >= 0 && mode <= 2, "one of 0, 1, 2");
  if (modeOk) _encryptionMode = mode;
  ok &= modeOk;
  config.Read("ca_file", _caFile);
  config.Read("cert_file", _certFile);
  config.Read("key_file", _keyFile);
  config.Read("cert_password", _certPassword);
  config.Read("username", _username);
  config.Read("password", _password);
  config.Done();
  if (!ok) return false;
  if (_clientId.empty()) config.Error("client_id", "is empty: the broker needs a client id");
  if (_host.empty()) config.Error("host", "is empty: nothing to connect to");
  if (_port < 1 || _port > 65535)
    config.Error("port", "expected an integer from 1 to 65535, found " + std::to_string(_port));
  // libmosquitto refuses these at every connect, so the link never comes up.
  if (_keepAlive != 0 && (_keepAlive < 5 || _keepAlive > 65535))
    config.Error("keep_alive", "expected 0 or 5 to 65535 seconds, found " + std::to_string(_keepAlive));
  if (_reconnectTime < 0)
    config.Warn("reconnect_time", "is negative: every poll step retries while the broker is away");
  const std::string tls = TlsSettingsProblem(_encryptionMode, _caFile, _certFile, _keyFile, _certPassword);
  if (!tls.empty()) config.Error("encryption_mode", "TLS settings unusable: " + tls);
  return true;
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
