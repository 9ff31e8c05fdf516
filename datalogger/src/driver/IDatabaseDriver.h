#pragma once
// What a database back end offers the data logger. Called from the loop
// thread only; implementations take no locks.
#include <memory>
#include <nlohmann/json.hpp>

#include "ConfigReader.h"

namespace VESK {

class DBMeasurement;

class IDatabaseDriver {
 public:
  // Applies the driver's settings, read through the configuration reader;
  // false (its ERROR lines written) when they are unusable, and the driver
  // must then not be used.
  virtual bool Load(frame::ConfigNode settings) = 0;
  // The same for settings not taken from a file.
  bool LoadFromJSON(const nlohmann::json& settings) {
    frame::ConfigReader reader("settings", settings);
    return Load(reader.Root());
  }
  // Makes sure the target database exists. Blocks for one exchange.
  virtual void CreateDatabase() = 0;
  // Writes the measurement's current values as one point. Blocks for one
  // exchange; true only when the database accepted the point.
  virtual bool Insert(const std::shared_ptr<DBMeasurement>& measurement) = 0;
  virtual ~IDatabaseDriver() = default;
};

}  // namespace VESK
