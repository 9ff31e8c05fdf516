#pragma once
// What a database back end offers the data logger. Load, Admit and
// FormatPoint run on the loop thread; CreateDatabase, Insert and WriteLines on
// one writer thread at a time. FormatPoint keeps no state, so the two never
// share data.
#include <atomic>
#include <cstddef>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "ConfigReader.h"

namespace VESK {

class DBMeasurement;

class IDatabaseDriver {
 public:
  // What became of a batch: stored; refused by the server as bad data (never
  // worth sending again); or not written for now (unreachable, time-out,
  // server error), worth another try.
  enum class Outcome { Written, Refused, Failed };

  // Applies the driver's settings, read through the configuration reader;
  // false (its ERROR lines written) when they are unusable, and the driver
  // must then not be used.
  virtual bool Load(frame::ConfigNode settings) = 0;
  // The same for settings not taken from a file.
  bool LoadFromJSON(const nlohmann::json& settings) {
    frame::ConfigReader reader("settings", settings);
    return Load(reader.Root());
  }
  // Leaves out of the measurement what this database cannot store exactly
  // as named (ERROR line naming measurement and key for each); false when the
  // measurement's own name is unusable and it must be dropped whole.
  virtual bool Admit(DBMeasurement& measurement) const = 0;
  // Makes sure the target database exists. Blocks for one exchange.
  virtual void CreateDatabase() = 0;
  // Appends the measurement's current values as one point (no line end);
  // false, appending nothing, when no field holds a value.
  virtual bool FormatPoint(const DBMeasurement& measurement, std::string& line) const = 0;
  // Writes lines joined by "\n" (points of them) in one request. Blocks for
  // one exchange at most the driver's deadline; logs refusals and failures.
  virtual Outcome WriteLines(const std::string& lines, std::size_t points) = 0;
  // FormatPoint then WriteLines for one measurement; true only when written.
  virtual bool Insert(const std::shared_ptr<DBMeasurement>& measurement) = 0;
  // Every exchange ends promptly once *cancel is true (not owned).
  virtual void SetCancel(const std::atomic<bool>* cancel) = 0;
  virtual ~IDatabaseDriver() = default;
};

}  // namespace VESK
