#pragma once
#include <string>
#include <vector>

#include "ConfigLoader.h"

namespace VESK {

// The daemon's process-wide configuration. Filled by main from "app.conf"
// (and an optional second file) before the service starts; read-only after.
class AppConfig {
 public:
  std::string _configDir;
  std::string _projectName = "Project";
  std::string _projectPath;
  std::string _runtimePath;
  std::string _mqttEvent = "ipc:///tmp/vesk.pemrix.mqtt.event.ipc";
  std::string _mqttApi = "ipc:///tmp/vesk.pemrix.mqtt.api.ipc";
  std::string _hostApi = "ipc:///tmp/vesk.pemrix.host.api.ipc";

  static AppConfig Instance;

  void LoadConfig(const std::string& path) { frame::LoadConfigFile(path, _configDir, Keys()); }
  void LoadConfigPrivate(const std::string& path) { frame::ApplyConfigFile(path, _configDir, Keys()); }
  static std::string GetAbsPath(const std::string& path) { return frame::GetAbsPath(path); }
  static std::string GetFolderName(const std::string& path) { return frame::GetFolderName(path); }

 private:
  std::vector<frame::ConfigKey> Keys() {
    using frame::PathRule;
    return {
        {"project_path", &_projectPath, PathRule::DirNoSlash, "Project Path = ", {}},
        {nullptr, nullptr, PathRule::Verbatim, nullptr, [this] { _projectName = GetFolderName(_projectPath); }},
        {"runtime_path", &_runtimePath, PathRule::DirNoSlash, "Runtime Path = ", {}},
        {"mqtt_event", &_mqttEvent, PathRule::Verbatim, "Event Bind = ", {}},
        {"mqtt_api", &_mqttApi, PathRule::Verbatim, "API Bind = ", {}},
        {"host_api", &_hostApi, PathRule::Verbatim, "Host API = ", {}},
    };
  }
};

inline AppConfig AppConfig::Instance;

}  // namespace VESK
