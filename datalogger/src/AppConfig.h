#pragma once
#include <string>
#include <vector>

#include "ConfigLoader.h"

namespace VESK {

// The data logger's process-wide configuration. Filled by main from
// "app.conf" (and an optional second file) before the service starts;
// read-only after. Directory members always end in a slash once set.
class AppConfig {
 public:
  std::string _configDir;
  std::string _projectPath;
  std::string _pluginPath;
  std::string _mqttApi = "ipc:///tmp/vesk.pemrix.mqtt.api.ipc";
  std::string _mqttEvent = "ipc:///tmp/vesk.pemrix.mqtt.event.ipc";
  std::string _daqEvent = "ipc:///tmp/vesk.pemrix.daq.event.ipc";
  std::string _daqApi = "ipc:///tmp/vesk.pemrix.daq.api.ipc";
  std::string _xmppEvent = "ipc:///tmp/vesk.pemrix.xmpp.event.ipc";
  std::string _xmppApi = "ipc:///tmp/vesk.pemrix.xmpp.api.ipc";

  static AppConfig Instance;

  void LoadConfig(const std::string& path) { frame::LoadConfigFile(path, _configDir, Keys()); }
  void LoadConfigPrivate(const std::string& path) { frame::ApplyConfigFile(path, _configDir, Keys()); }
  static std::string GetAbsPath(const std::string& path) { return frame::GetAbsPath(path); }

 private:
  std::vector<frame::ConfigKey> Keys() {
    using frame::PathRule;
    return {
        {"project_path", &_projectPath, PathRule::DirTrailingSlash, "Project Path = ", {}},
        {"plugin_path", &_pluginPath, PathRule::DirTrailingSlash, "Plugin Path = ", {}},
        {"mqtt_api", &_mqttApi, PathRule::Verbatim, "MQTT API = ", {}},
        {"mqtt_event", &_mqttEvent, PathRule::Verbatim, "MQTT Event = ", {}},
        {"daq_event", &_daqEvent, PathRule::Verbatim, "DAQ Event = ", {}},
        {"daq_api", &_daqApi, PathRule::Verbatim, "DAQ API = ", {}},
        {"xmpp_event", &_xmppEvent, PathRule::Verbatim, "XMPP Event = ", {}},
        {"xmpp_api", &_xmppApi, PathRule::Verbatim, "XMPP API = ", {}},
    };
  }
};

inline AppConfig AppConfig::Instance;

}  // namespace VESK
