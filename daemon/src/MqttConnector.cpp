#include "MqttConnector.h"

#include <easylogging++.h>
#include <uuid/uuid.h>

#include <climits>
#include <fstream>
#include <nlohmann/json.hpp>

#include "JsonFile.h"

namespace VESK {

namespace {

std::string NewUuid() {
  uuid_t id;
  uuid_generate(id);
  char text[37];  // 36 characters and the terminator
  uuid_unparse(id, text);
  return text;
}

// Optional string settings keep their previous value unless the key holds a
// string; a null or a number there is not an error.
void TakeString(nlohmann::json& config, const char* key, std::string& target) {
  nlohmann::json& value = config[key];
  if (value.is_string()) target = value.get<std::string>();
}

// Required numeric settings: the library's conversion (integers, floats cut
// toward zero, booleans; any other type throws its type error). A float
// beyond int's range would make that conversion undefined, so it is refused
// with a type error of the same family instead of becoming an arbitrary port.
int TakeNumber(nlohmann::json& config, const char* key) {
  nlohmann::json& value = config[key];
  if (value.is_number_float()) {
    double number = value.get<double>();
    if (!(number > static_cast<double>(INT_MIN) - 1.0 && number < static_cast<double>(INT_MAX) + 1.0)) {
      throw nlohmann::json::type_error::create(302, "type must be number, but is out of range: " + value.dump(),
                                               &value);
    }
  }
  return value.get<int>();
}

}  // namespace

MqttConnector::MqttConnector() { _clientId = NewUuid(); }

MqttConnector::~MqttConnector() = default;

void MqttConnector::LoadFromJSON(nlohmann::json& config) {
  TakeString(config, "client_id", _clientId);
  // Required keys: the JSON library's type error leaves this function on the
  // first one missing or mistyped ("type must be string/number, but is ...").
  _host = config["host"].get<std::string>();
  _port = TakeNumber(config, "port");
  _keepAlive = TakeNumber(config, "keep_alive");
  _reconnectTime = TakeNumber(config, "reconnect_time");
  int mode = TakeNumber(config, "encryption_mode");
  _encryptionMode = (mode == 1 || mode == 2) ? mode : 0;
  TakeString(config, "ca_file", _caFile);
  TakeString(config, "cert_file", _certFile);
  TakeString(config, "key_file", _keyFile);
  TakeString(config, "cert_password", _certPassword);
  TakeString(config, "username", _username);
  TakeString(config, "password", _password);
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
  using json = nlohmann::json;
  json settings = frame::LoadJSONFile(path);
  // A null from LoadJSONFile is a missing or malformed file, which it has
  // logged, unless the file really says null: that is reported below.
  if (settings.is_null()) {
    std::ifstream file(path);
    json raw = json::parse(file, nullptr, false);
    if (raw.is_discarded() || !raw.is_null()) return false;
  }
  auto client = settings.is_object() ? settings.find("mqtt_client") : settings.end();
  if (!settings.is_object() || client == settings.end() || !client->is_object()) {
    LOG(ERROR) << "'" << path << "' : key 'mqtt_client' must be an object, but is "
               << (settings.is_object() && client != settings.end() ? frame::JsonTypeName(*client)
                                                                    : std::string("missing"));
    return false;
  }
  try {
    connector.LoadFromJSON(*client);
  } catch (const json::exception& e) {
    LOG(ERROR) << "'" << path << "' : 'mqtt_client' " << e.what();
    return false;
  }
  auto root = settings.find("mqtt_topic_root");
  if (root != settings.end() && root->is_string()) {
    topicRoot = root->get<std::string>();
  } else {
    LOG(ERROR) << "'" << path << "' : key 'mqtt_topic_root' must be a string, but is "
               << (root == settings.end() ? "missing" : frame::JsonTypeName(*root)) << "; using " << topicRoot;
  }
  if (!topicRoot.empty() && topicRoot.back() != '/') topicRoot += '/';
  return true;
}

}  // namespace VESK
