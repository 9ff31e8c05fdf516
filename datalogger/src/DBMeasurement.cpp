#include "DBMeasurement.h"

#include <easylogging++.h>

#include <algorithm>
#include <climits>
#include <cmath>

#include "BoundedJson.h"
#include "ConfigReader.h"
#include "DAQServiceProxy.h"

namespace VESK {

namespace {

// A newline would end the line-protocol point in the middle of a name.
bool HasLineBreak(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }

// "cycle_ms": whole milliseconds from 1 (a cycle of 0 would update on every
// pass forever). Files that ran before hold fractions such as 250.9, which
// were always truncated: they still are, with a WARNING.
bool ReadCycle(frame::ConfigNode& entry, int& cycle) {
  const nlohmann::json& raw = entry.Json().is_object() ? entry.Json().value("cycle_ms", nlohmann::json()) : nullptr;
  if (raw.is_number_float()) {
    const double whole = std::trunc(raw.get<double>());
    if (whole != raw.get<double>() && whole >= 1 && whole <= INT_MAX) {
      entry.Accept("cycle_ms");
      cycle = static_cast<int>(whole);
      entry.Warn("cycle_ms", "fraction " + raw.dump() + " truncated to " + std::to_string(cycle));
      return true;
    }
  }
  return entry.Read("cycle_ms", cycle, frame::IntRange{1, INT_MAX}, frame::Need::Required);
}

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
  ok &= ReadCycle(entry, cycle);

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

void DBMeasurement::Apply(std::size_t group, bool answered, const nlohmann::json& values) {
  DeviceRead& read = _reads[group];
  std::string missing;
  for (const auto& field : read.fields) {
    auto it = answered ? values.find(field->TagId()) : values.end();
    if (answered && it != values.end()) field->Value() = *it;
    if (!field->Value().is_null()) continue;
    ++_proxy->failedReads;
    missing += (missing.empty() ? "" : ",") + field->TagId();
  }
  if (missing.empty() == !read.silent) return;
  read.silent = !missing.empty();
  if (read.silent) {
    LOG(WARNING) << "Measurement " << _name << " : no value from " << read.device << " for "
                 << frame::LogExcerpt(missing) << (answered ? " (not in the answer or null)" : " (read failed)");
  } else {
    LOG(INFO) << "Measurement " << _name << " : values from " << read.device << " again";
  }
}

bool DBMeasurement::Begin(Clock::time_point now) {
  if (!_proxy || now < _dueTime) return false;
  const auto cycle = std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(_cycle));
  // Values of missed cycles are gone: replaying them would store present
  // values under past cycles, in a burst.
  const auto missed = (now - _dueTime) / cycle;
  _skipped += static_cast<std::uint64_t>(missed);
  _dueTime += cycle * (missed + 1);
  _timestamp = std::chrono::system_clock::now();
  for (auto& field : _fields) field->Value() = nullptr;
  return true;
}

bool DBMeasurement::Update(Clock::time_point now, const std::atomic<bool>* stop) {
  if (!Begin(now)) return false;
  for (std::size_t i = 0; i < _reads.size() && !(stop && stop->load()); ++i) {
    nlohmann::json values;
    const bool answered = _proxy->ReadTags(_reads[i].device, _reads[i].tags, values);
    Apply(i, answered, values);
  }
  return true;
}

bool DBMeasurement::HasValues() const {
  return std::any_of(_fields.begin(), _fields.end(), [](const auto& f) { return !f->Value().is_null(); });
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
