#include "DBMeasurement.h"

#include <easylogging++.h>

#include <algorithm>
#include <climits>

#include "ConfigReader.h"
#include "DAQServiceProxy.h"

namespace VESK {

namespace {

// A newline would end the line-protocol point in the middle of a name.
bool HasLineBreak(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }

}  // namespace

DBMeasurement::DBMeasurement(std::shared_ptr<DAQServiceProxy> proxy)
    : _proxy(std::move(proxy)), _dueTime(Clock::now()), _timestamp(std::chrono::system_clock::now()) {}

bool DBMeasurement::LoadFromJSON(const nlohmann::json& entry) {
  frame::ConfigReader reader("measurement", entry);
  return Load(frame::ConfigNode(&reader, &entry, "measurement"));
}

bool DBMeasurement::Load(frame::ConfigNode entry) {
  if (!LoadEntry(entry)) {
    LOG(ERROR) << "Load DBMeasurement Failed! " << entry.Path() << " dropped";
    return false;
  }
  _timestamp = std::chrono::system_clock::now();
  _dueTime = Clock::now() + std::chrono::milliseconds(_cycle);
  return true;
}

bool DBMeasurement::LoadEntry(frame::ConfigNode& entry) {
  using frame::Need;
  if (!entry.ExpectObject()) return false;
  std::string name;
  int cycle = 0;
  // Every key is read before judging, so one check reports every problem.
  bool ok = entry.Read("id", name, Need::Required) &&
            entry.Check("id", !name.empty() && !HasLineBreak(name), "a non-empty single-line string");
  // A cycle of 0 or less would update on every pass forever.
  ok &= entry.Read("cycle_ms", cycle, frame::IntRange{1, INT_MAX}, Need::Required);

  std::vector<std::shared_ptr<DBField>> fields;
  frame::ConfigNode list = entry.Collection("fields");
  ok &= list.Valid() || !entry.Json().contains("fields");
  for (auto& [key, field] : list.Children()) {
    if (!field.ExpectObject()) continue;  // reported, and skipped as before
    std::string device, tag;
    bool usable = field.Read("device_id", device, Need::Required);
    usable &= field.Read("tag_id", tag, Need::Required);
    field.Done();
    usable &= list.Check(key.c_str(), !HasLineBreak(key), "a field name on a single line");
    ok &= usable;
    if (usable) fields.push_back(std::make_shared<DBField>(key, device, tag));
  }
  entry.Done();
  if (!ok) return false;
  _name = std::move(name);
  _cycle = cycle;
  _fields = std::move(fields);
  Plan();
  return true;
}

void DBMeasurement::Plan() {
  _reads.clear();
  for (const auto& field : _fields) {
    auto group = std::find_if(_reads.begin(), _reads.end(),
                              [&](const DeviceRead& r) { return !_oneTagPerCall && r.device == field->DeviceId(); });
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
