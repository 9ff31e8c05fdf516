#include "DBMeasurement.h"

#include <easylogging++.h>

#include <algorithm>
#include <climits>
#include <cmath>

#include "DAQServiceProxy.h"
#include "JsonFile.h"

namespace VESK {

namespace {

// A newline would end the line-protocol point in the middle of a name.
bool HasLineBreak(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }

bool RequireString(const nlohmann::json& object, const char* key, std::string& out, std::string& reason) {
  auto it = object.find(key);
  if (it == object.end()) {
    reason = std::string("'") + key + "' is missing";
    return false;
  }
  if (!it->is_string()) {
    reason = std::string("'") + key + "' must be a string, not " + frame::JsonTypeName(*it);
    return false;
  }
  out = it->get<std::string>();
  return true;
}

}  // namespace

DBMeasurement::DBMeasurement(std::shared_ptr<DAQServiceProxy> proxy)
    : _proxy(std::move(proxy)), _dueTime(Clock::now()), _timestamp(std::chrono::system_clock::now()) {}

bool DBMeasurement::LoadFromJSON(const nlohmann::json& entry) {
  std::string reason;
  if (!Load(entry, reason)) {
    LOG(ERROR) << "Load DBMeasurement Failed! " << reason;
    return false;
  }
  _timestamp = std::chrono::system_clock::now();
  _dueTime = Clock::now() + std::chrono::milliseconds(_cycle);
  return true;
}

bool DBMeasurement::Load(const nlohmann::json& entry, std::string& reason) {
  if (!entry.is_object()) {
    reason = "entry must be an object, not " + frame::JsonTypeName(entry);
    return false;
  }
  std::string name;
  if (!RequireString(entry, "id", name, reason)) return false;
  if (name.empty() || HasLineBreak(name)) {
    reason = "'id' must be a non-empty single line";
    return false;
  }
  auto cycle = entry.find("cycle_ms");
  if (cycle == entry.end()) {
    reason = "'cycle_ms' is missing";
    return false;
  }
  if (!cycle->is_number()) {
    reason = "'cycle_ms' must be a number, not " + frame::JsonTypeName(*cycle);
    return false;
  }
  // Compared as a double first: converting an out-of-range double to int is
  // undefined, and a cycle of 0 or less would update on every pass forever.
  const double ms = std::trunc(cycle->get<double>());
  if (!(ms >= 1 && ms <= INT_MAX)) {
    reason = "'cycle_ms' must be at least 1 and at most " + std::to_string(INT_MAX) + ", not " + cycle->dump();
    return false;
  }

  std::vector<std::shared_ptr<DBField>> fields;
  auto list = entry.find("fields");
  if (list != entry.end() && !list->is_null()) {
    if (!list->is_object() && !list->is_array()) {
      reason = "'fields' must be an object or an array, not " + frame::JsonTypeName(*list);
      return false;
    }
    std::size_t index = 0;
    for (auto it = list->begin(); it != list->end(); ++it, ++index) {
      if (!it->is_object()) continue;
      const std::string key = list->is_object() ? it.key() : std::to_string(index);
      std::string device, tag;
      if (!RequireString(*it, "device_id", device, reason) || !RequireString(*it, "tag_id", tag, reason)) {
        reason = "field '" + key + "': " + reason;
        return false;
      }
      if (HasLineBreak(key)) {
        reason = "field name must be a single line";
        return false;
      }
      fields.push_back(std::make_shared<DBField>(key, device, tag));
    }
  }
  _name = std::move(name);
  _cycle = static_cast<int>(ms);
  _fields = std::move(fields);
  Plan();
  return true;
}

void DBMeasurement::Plan() {
  _reads.clear();
  for (const auto& field : _fields) {
    auto group = std::find_if(_reads.begin(), _reads.end(), [&](const DeviceRead& r) {
      return !_oneTagPerCall && r.device == field->DeviceId();
    });
    if (group == _reads.end()) group = _reads.insert(_reads.end(), DeviceRead{field->DeviceId(), {}, {}});
    if (std::find(group->tags.begin(), group->tags.end(), field->TagId()) == group->tags.end())
      group->tags.push_back(field->TagId());
    group->fields.push_back(field);
  }
}

void DBMeasurement::RemoveFields(const std::function<bool(const DBField&)>& drop) {
  _fields.erase(std::remove_if(_fields.begin(), _fields.end(), [&](const auto& f) { return drop(*f); }), _fields.end());
  Plan();
}

void DBMeasurement::ReadDevice(std::size_t group) {
  const DeviceRead& read = _reads[group];
  nlohmann::json values;
  if (!_proxy->ReadTags(read.device, read.tags, values)) {
    _proxy->failedReads += read.fields.size();
    return;
  }
  for (const auto& field : read.fields) {
    auto it = values.find(field->TagId());
    if (it == values.end()) {
      ++_proxy->failedReads;
    } else {
      field->Value() = *it;
    }
  }
}

bool DBMeasurement::Update(Clock::time_point now, const std::atomic<bool>* stop) {
  if (!_proxy || now < _dueTime) return false;
  _dueTime += std::chrono::milliseconds(_cycle);
  _timestamp = std::chrono::system_clock::now();
  for (std::size_t i = 0; i < _reads.size() && !(stop && stop->load()); ++i) ReadDevice(i);
  return true;
}

nlohmann::json DBMeasurement::ToJSON() const {
  nlohmann::json out;
  out["timestamp"] = std::chrono::duration_cast<std::chrono::nanoseconds>(_timestamp.time_since_epoch()).count();
  nlohmann::json fields;
  for (const auto& field : _fields) fields[field->Name()] = field->Value();
  out["fields"] = fields;
  return out;
}

}  // namespace VESK
