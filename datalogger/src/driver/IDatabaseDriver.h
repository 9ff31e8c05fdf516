#pragma once
// What a database back end offers the data logger. Called from the loop
// thread only; implementations take no locks.
#include <memory>
#include <nlohmann/json_fwd.hpp>

namespace VESK {

class DBMeasurement;

class IDatabaseDriver {
 public:
  // Applies the driver's settings; false (after an ERROR line) when they are
  // unusable, and the driver must then not be used.
  virtual bool LoadFromJSON(const nlohmann::json& settings) = 0;
  // Makes sure the target database exists. Blocks for one exchange.
  virtual void CreateDatabase() = 0;
  // Writes the measurement's current values as one point. Blocks for one
  // exchange; true only when the database accepted the point.
  virtual bool Insert(const std::shared_ptr<DBMeasurement>& measurement) = 0;
  virtual ~IDatabaseDriver() = default;
};

}  // namespace VESK
