#include "DaqConfig.h"

#include <easylogging++.h>

#include <cmath>
#include <set>

#include "ConfigLoader.h"
#include "JsonFile.h"

namespace VESK::daqsvc {

namespace {

using json = nlohmann::json;

constexpr int kMaxCycleMs = 3600 * 1000;

// Reads an optional string key; false (logged) when present with another type.
bool OptionalString(const json& doc, const char* key, std::string& out, const std::string& origin) {
  auto it = doc.find(key);
  if (it == doc.end() || it->is_null()) return true;
  if (!it->is_string()) {
    LOG(ERROR) << "'" << origin << "' : key '" << key << "' must be a string, not " << frame::JsonTypeName(*it);
    return false;
  }
  out = it->get<std::string>();
  return true;
}

// Empty reason: the entry is usable and device is filled.
std::string ParseDevice(const json& entry, const std::string& baseDir, DeviceConfig& device) {
  if (!entry.is_object()) return "not an object but " + frame::JsonTypeName(entry);
  auto text = [&](const char* key, std::string& out) -> std::string {
    auto it = entry.find(key);
    if (it == entry.end() || !it->is_string() || it->get<std::string>().empty())
      return std::string("'") + key + "' must be a non-empty string";
    out = it->get<std::string>();
    return "";
  };
  std::string why;
  if (!(why = text("id", device.id)).empty()) return why;
  if (!(why = text("driver", device.driver)).empty()) return why;
  if (!(why = text("profile", device.profile)).empty()) return why;
  device.profile = JoinPath(baseDir, device.profile);
  auto probe = entry.find("config");
  if (probe == entry.end() || probe->is_null()) {
    device.probe = json::object();
  } else if (probe->is_object()) {
    device.probe = *probe;
  } else {
    return "'config' must be an object";
  }
  auto channel = entry.find("channel");
  if (channel == entry.end() || !channel->is_object()) return "'channel' must be an object";
  device.channel = *channel;
  device.baseDir = baseDir;
  return "";
}

}  // namespace

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (name.empty() || name[0] == '/' || dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

bool DaqConfig::LoadFile(const std::string& path) {
  const std::string absPath = frame::GetAbsPath(path);
  json document = frame::LoadJSONFile(absPath.empty() ? path : absPath);
  if (document.is_null()) return false;  // LoadJSONFile logged why
  const std::string& file = absPath.empty() ? path : absPath;
  const size_t slash = file.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : file.substr(0, slash);
  LOG(INFO) << "Config File Path = " << file;
  return Apply(document, dir, file);
}

bool DaqConfig::Apply(const json& document, const std::string& baseDir, const std::string& origin) {
  if (!document.is_object()) {
    LOG(ERROR) << "'" << origin << "' : top level must be an object, not " << frame::JsonTypeName(document);
    return false;
  }
  if (OptionalString(document, "daq_api", daqApi, origin) && document.contains("daq_api"))
    LOG(INFO) << "DAQ API = " << daqApi;
  if (OptionalString(document, "daq_event", daqEvent, origin) && document.contains("daq_event"))
    LOG(INFO) << "DAQ Event = " << daqEvent;
  std::string plugins;
  if (OptionalString(document, "plugin_path", plugins, origin) && !plugins.empty()) {
    pluginPath = JoinPath(baseDir, plugins);
    LOG(INFO) << "Plugin Path = " << pluginPath;
  }

  auto cycle = document.find("cycle_ms");
  if (cycle != document.end() && !cycle->is_null()) {
    // Whole milliseconds; a zero or runaway cycle would spin or stall the loop.
    if (!cycle->is_number() || !(cycle->get<double>() >= 1) || cycle->get<double>() > kMaxCycleMs) {
      LOG(ERROR) << "'" << origin << "' : key 'cycle_ms' must be a number from 1 to " << kMaxCycleMs << ", not "
                 << cycle->dump() << "; keeping " << cycleMs;
    } else {
      cycleMs = static_cast<int>(std::floor(cycle->get<double>()));
      LOG(INFO) << "Cycle = " << cycleMs << " ms";
    }
  }

  auto list = document.find("devices");
  if (list == document.end() || list->is_null()) return true;
  if (!list->is_array()) {
    LOG(ERROR) << "'" << origin << "' : key 'devices' must be an array, not " << frame::JsonTypeName(*list);
    return true;
  }
  devices.clear();
  std::set<std::string> ids;
  for (size_t i = 0; i < list->size(); ++i) {
    DeviceConfig device;
    std::string why = ParseDevice((*list)[i], baseDir, device);
    if (why.empty() && !ids.insert(device.id).second) why = "device id '" + device.id + "' is used twice";
    if (!why.empty()) {
      LOG(ERROR) << "'" << origin << "' : device " << i << " skipped : " << why;
      continue;
    }
    devices.push_back(std::move(device));
  }
  return true;
}

std::string DaqConfig::DriverPath(const DeviceConfig& device, const std::string& programDir) const {
  if (device.driver.find('/') != std::string::npos) return JoinPath(device.baseDir, device.driver);
  return JoinPath(pluginPath.empty() ? programDir : pluginPath, device.driver);
}

}  // namespace VESK::daqsvc
