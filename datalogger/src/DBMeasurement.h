#pragma once
// A measurement: one named group of values sampled on its own cycle and
// written as one point. Used on the data logger's loop thread only.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "ConfigReader.h"

namespace VESK {

class DAQServiceProxy;

// One value of a measurement and where it comes from. Shared between the
// measurement (which fills it) and the database driver (which reads it).
class DBField {
 public:
  DBField(std::string name, std::string deviceId, std::string tagId)
      : _name(std::move(name)), _deviceId(std::move(deviceId)), _tagId(std::move(tagId)) {}

  const std::string& Name() const { return _name; }
  const std::string& DeviceId() const { return _deviceId; }
  const std::string& TagId() const { return _tagId; }
  // The last value read; null until the first successful read.
  nlohmann::json& Value() { return _value; }
  const nlohmann::json& Value() const { return _value; }

 private:
  std::string _name;
  std::string _deviceId;
  std::string _tagId;
  nlohmann::json _value;
};

class DBMeasurement {
 public:
  // Schedules run on the monotonic clock, so a wall clock that is set
  // (NTP after a boot in 1970, a manual correction) neither replays decades of
  // cycles nor stops logging; only point timestamps use the wall clock.
  using Clock = std::chrono::steady_clock;

  // proxy may be null: the measurement then never updates.
  explicit DBMeasurement(std::shared_ptr<DAQServiceProxy> proxy);

  // Applies one "measurements" entry: "id" (non-empty string), "cycle_ms"
  // (milliseconds from 1; a fraction is truncated with a WARNING) and optional "fields" (object:
  // key = field name, array: index = field name; non-object members are
  // reported and skipped). On a bad entry the reader's ERROR lines are
  // followed by ERROR "Load DBMeasurement Failed! <path> dropped" and it
  // returns false; the caller drops the measurement.
  bool LoadFromJSON(const nlohmann::json& entry);
  // The same for an entry of a configuration file: its problems name the
  // file and key path.
  bool Load(frame::ConfigNode entry);

  // When now has reached the due time: stamps the wall clock and reads the
  // fields through the proxy: one call per device with all its tags, or one
  // call per field after SetOneTagPerCall(true). A field whose read failed,
  // whose tag is missing from the answer or whose value is null holds null
  // (no value) until its next read: nothing stale passes as fresh. A device
  // that stops delivering values to this measurement is logged once
  // (WARNING), and once when it delivers again (INFO). The due time then
  // advances by one cycle (fixed rate); cycles already missed when the
  // update starts are skipped, not replayed, and counted (TakeSkipped).
  // Blocks for the reads (each bounded by the proxy's time-out); stops
  // reading once *stop is true. Returns true when it updated.
  bool Update(Clock::time_point now = Clock::now(), const std::atomic<bool>* stop = nullptr);
  // Update in two steps, for a caller that reads the groups of several
  // measurements together: Begin (schedule, timestamp, fields emptied; false
  // when not due), then Apply for each group of Groups() with the answer of
  // its device (answered false: the read failed).
  bool Begin(Clock::time_point now);
  // First due time: start + one cycle. Measurements scheduled from one start
  // fall due together at their common multiples, so their reads share calls.
  void Schedule(Clock::time_point start) { _dueTime = start + std::chrono::milliseconds(_cycle); }
  void Apply(std::size_t group, bool answered, const nlohmann::json& values);

  // The fields that read one device, and the distinct tags they ask for
  // (one field and its tag each, one tag per call).
  struct DeviceRead {
    std::string device;
    std::vector<std::string> tags;
    std::vector<std::shared_ptr<DBField>> fields;
    bool silent = false;  // some field got no value at its last read
  };
  const std::vector<DeviceRead>& Groups() const { return _reads; }
  bool OneTagPerCall() const { return _oneTagPerCall; }
  // Cycles skipped since the last call.
  std::uint64_t TakeSkipped() { return std::exchange(_skipped, 0); }
  // True when at least one field holds a value.
  bool HasValues() const;

  // For acquisition services that answer one tag per call.
  void SetOneTagPerCall(bool one) {
    _oneTagPerCall = one;
    Plan();
  }
  // Leaves out every field for which drop returns true.
  void RemoveFields(const std::function<bool(const DBField&)>& drop);

  // {"timestamp": <ns since the epoch>, "fields": {name: value, ...} or null}.
  nlohmann::json ToJSON() const;

  const std::string& Name() const { return _name; }
  std::chrono::system_clock::time_point Timestamp() const { return _timestamp; }
  // For points whose values are set directly (the logger's own metrics).
  void SetTimestamp(std::chrono::system_clock::time_point t) { _timestamp = t; }
  Clock::time_point DueTime() const { return _dueTime; }
  int Cycle() const { return _cycle; }
  const std::vector<std::shared_ptr<DBField>>& Fields() const { return _fields; }

 private:
  bool LoadEntry(frame::ConfigNode& entry);
  void Plan();

  std::shared_ptr<DAQServiceProxy> _proxy;
  Clock::time_point _dueTime;
  std::chrono::system_clock::time_point _timestamp;
  std::string _name;
  std::vector<std::shared_ptr<DBField>> _fields;
  int _cycle = 1000;  // milliseconds, always positive
  bool _oneTagPerCall = false;
  std::vector<DeviceRead> _reads;  // rebuilt from _fields by Plan()
  std::uint64_t _skipped = 0;
};

}  // namespace VESK
