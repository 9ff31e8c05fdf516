#pragma once
// The daemon's concrete MQTT client: a random UUID as default client id,
// settings loaded from the "mqtt_client" object, and replaceable handlers so
// the owner needs no subclass of its own. Handlers run inside RunOnce.
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <string>

#include "ConfigReader.h"
#include "MqttClient.h"

namespace VESK {

class MqttConnector : public MqttClient {
 public:
  // _clientId = a freshly generated UUID in its 36-character text form.
  MqttConnector();
  ~MqttConnector() override;

  // Reads the "mqtt_client" settings into the client's members through the
  // configuration reader, which logs every problem with its key path. False
  // when a required key ("host", "port", "keep_alive", "reconnect_time",
  // "encryption_mode") is missing or of another type, or the mode is not
  // 0, 1 or 2: the daemon cannot run then. Numbers that are not whole ints
  // are converted with a WARNING; settings the link would refuse (empty host,
  // keep-alive 1-4, unreadable TLS files, non-hex key) are ERROR lines that
  // fail --check-config but not the load.
  bool Load(frame::ConfigNode config);
  // The same for an object not taken from a file.
  bool LoadFromJSON(const nlohmann::json& config);

  // rc 0: _connectedHandler; any other rc: _disconnectedHandler.
  void OnConnect(int rc) override;
  // _messageHandler(msg); msg is valid only during the call.
  void OnMessage(const mosquitto_message* msg) override;

  std::function<void()> _connectedHandler;
  std::function<void()> _disconnectedHandler;
  std::function<void(const mosquitto_message*)> _messageHandler;
};

// Reads an MQTT settings file ("mqtt.json"): its "mqtt_client" object into
// connector (Load) and its "mqtt_topic_root" into topicRoot, with a
// "/" appended unless empty (a missing or non-string root keeps topicRoot,
// with an ERROR line). False, after one ERROR line naming the file, when the
// file or its "mqtt_client" is unusable. Shared by the daemon and the
// operator's tool, so both read the same format the same way.
bool LoadMqttSettings(const std::string& path, MqttConnector& connector, std::string& topicRoot);

}  // namespace VESK
