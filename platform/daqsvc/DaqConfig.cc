#include "DaqConfig.h"

#include <easylogging++.h>

#include <set>

#include "ConfigLoader.h"
#include "ConfigReader.h"

namespace VESK::daqsvc {

namespace {

using json = nlohmann::json;
using frame::Need;

constexpr int kMaxCycleMs = 3600 * 1000;

// True when the entry is usable and device is filled; otherwise the reader
// has logged each problem.
bool ParseDevice(frame::ConfigNode entry, const std::string& baseDir, DeviceConfig& device) {
  if (!entry.ExpectObject()) return false;
  auto text = [&](const char* key, std::string& out) {
    return entry.Read(key, out, Need::Required) && entry.Check(key, !out.empty(), "a non-empty string");
  };
  bool ok = text("id", device.id);
  ok &= text("driver", device.driver);
  ok &= text("profile", device.profile);
  device.profile = JoinPath(baseDir, device.profile);
  // The probe configuration and the channel settings belong to the driver
  // and the channel, which read them; here they only must be objects.
  frame::ConfigNode probe = entry.Object("config");
  ok &= probe.Valid() || !entry.Json().contains("config");
  device.probe = probe.Valid() ? probe.Json() : json::object();
  frame::ConfigNode channel = entry.Object("channel", Need::Required);
  ok &= channel.Valid();
  device.channel = channel.Json();
  device.baseDir = baseDir;
  entry.Done();
  return ok;
}

}  // namespace

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (name.empty() || name[0] == '/' || dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

bool DaqConfig::LoadFile(const std::string& path) {
  const std::string absPath = frame::GetAbsPath(path);
  const std::string& file = absPath.empty() ? path : absPath;
  frame::ConfigReader reader(file);
  if (!reader.Parsed()) return false;  // the reader logged why
  const size_t slash = file.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : file.substr(0, slash);
  LOG(INFO) << "Config File Path = " << file;
  return Apply(reader, dir);
}

bool DaqConfig::Apply(const json& document, const std::string& baseDir, const std::string& origin) {
  frame::ConfigReader reader(origin, document);
  return Apply(reader, baseDir);
}

bool DaqConfig::Apply(frame::ConfigReader& reader, const std::string& baseDir) {
  frame::ConfigNode root = reader.Root();
  if (!root.Valid()) return false;
  if (root.Read("daq_api", daqApi)) LOG(INFO) << "DAQ API = " << daqApi;
  if (root.Read("daq_event", daqEvent)) LOG(INFO) << "DAQ Event = " << daqEvent;
  std::string plugins;
  if (root.Read("plugin_path", plugins) && !plugins.empty()) {
    pluginPath = JoinPath(baseDir, plugins);
    LOG(INFO) << "Plugin Path = " << pluginPath;
  }
  // Whole milliseconds; a zero or runaway cycle would spin or stall the loop.
  if (root.Read("cycle_ms", cycleMs, frame::IntRange{1, kMaxCycleMs})) LOG(INFO) << "Cycle = " << cycleMs << " ms";

  frame::ConfigNode list = root.Array("devices");
  root.Done();
  if (!list.Valid()) return true;
  devices.clear();
  std::set<std::string> ids;
  for (auto& [index, entry] : list.Children()) {
    DeviceConfig device;
    bool ok = ParseDevice(entry, baseDir, device);
    if (ok && !ids.insert(device.id).second) {
      ok = false;
      reader.Report(entry.Path() + ".id", "an id not used before", &entry.Json()["id"]);
    }
    if (!ok) {
      LOG(ERROR) << "'" << reader.File() << "' : device " << index << " skipped";
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
