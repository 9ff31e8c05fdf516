#pragma once
// Configuration of the acquisition-service stand-in: its two endpoints, the
// cycle, where driver plug-ins live and the devices it runs. Read once at
// start-up on the main thread; read-only afterwards.
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "ConfigReader.h"

namespace VESK::daqsvc {

// One device: the driver plug-in that runs it, its profile, the probe
// configuration handed to the driver and the channel settings.
struct DeviceConfig {
  std::string id;
  std::string driver;      // plug-in file, as written
  std::string profile;     // profile file, absolute
  nlohmann::json probe;    // "config", an object (empty when absent)
  nlohmann::json channel;  // "channel", an object
  std::string baseDir;     // folder of the file that named the device
};

struct DaqConfig {
  static constexpr int kDefaultCycleMs = 100;

  std::string daqApi = "ipc:///tmp/vesk.pemrix.daq.api.ipc";
  std::string daqEvent = "ipc:///tmp/vesk.pemrix.daq.event.ipc";
  std::string pluginPath;  // folder of plug-ins; empty: this program's folder
  int cycleMs = kDefaultCycleMs;
  std::vector<DeviceConfig> devices;

  // Applies one configuration file on top of the current values; keys absent
  // from the file keep theirs, a "devices" list replaces the previous one.
  // False (one ERROR line, nothing changed) when the file is missing, not
  // JSON or not an object. A key of the wrong type is logged and skipped; a
  // device entry that cannot be used is logged and left out; unknown keys
  // get one WARNING.
  bool LoadFile(const std::string& path);
  // The same for a parsed document; relative paths are taken from baseDir,
  // origin names the document in log lines.
  bool Apply(const nlohmann::json& document, const std::string& baseDir, const std::string& origin);
  bool Apply(frame::ConfigReader& reader, const std::string& baseDir);

  // Absolute path of a device's plug-in: a bare file name is looked up in
  // pluginPath (or programDir when that is empty), a relative path with a
  // folder in it is taken from the device's baseDir.
  std::string DriverPath(const DeviceConfig& device, const std::string& programDir) const;
};

// "dir/name" unless name is absolute (or dir empty).
std::string JoinPath(const std::string& dir, const std::string& name);

}  // namespace VESK::daqsvc
