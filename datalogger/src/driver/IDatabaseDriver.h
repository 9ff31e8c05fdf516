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
  // Why the lines after WriteResult::done were not written; each is worth
  // another try after a back-off.
  enum class Failure {
    None,
    Unreachable,  // no connection, a broken answer, a server error (5xx)
    TimedOut,     // the exchange's deadline passed: the link may be slow
    Refused,      // the server refused our credentials (401, 403) or database
    Cancelled,    // the stop
  };
  // What became of a batch. Lines are finished in order: the first done
  // lines were stored or refused for good (refused of them, lines the server
  // rejected as bad data; they are lost and were logged), the rest is not
  // written yet (failure says why).
  struct WriteResult {
    std::size_t done = 0;
    std::size_t refused = 0;
    Failure failure = Failure::None;
  };

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
  // Writes lines joined by "\n" (points of them), in one request or, when the
  // server asks for it (too large, bad lines to single out), in several.
  // Blocks for each exchange at most the driver's deadline; logs refusals and
  // failures.
  virtual WriteResult WriteLines(const std::string& lines, std::size_t points) = 0;
  // FormatPoint then WriteLines for one measurement; true only when written.
  virtual bool Insert(const std::shared_ptr<DBMeasurement>& measurement) = 0;
  // Every exchange ends promptly once *cancel is true (not owned).
  virtual void SetCancel(const std::atomic<bool>* cancel) = 0;
  virtual ~IDatabaseDriver() = default;
};

}  // namespace VESK
