#pragma once
// The daemon's concrete MQTT client: a random UUID as default client id,
// settings loaded from the "mqtt_client" object, and replaceable handlers so
// the owner needs no subclass of its own. Handlers run inside RunOnce.
#include <functional>
#include <nlohmann/json_fwd.hpp>

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
  // "encryption_mode" 0, 1 or 2) is missing or unusable: the daemon cannot
  // connect then. Optional keys of another type are reported and skipped.
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

}  // namespace VESK
