#pragma once
// The data logger's facade to the time-series database: builds the driver
// that the configuration names and forwards to it. Loop thread only; the
// writer thread uses the driver itself (see IDatabaseDriver).
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string>

#include "ConfigReader.h"

namespace VESK {

class DBMeasurement;
class IDatabaseDriver;

class DBClient {
 public:
  DBClient();
  ~DBClient();

  // Applies the "database" section: {"driver": "influxdb", "influxdb": {...}}.
  // A missing or wrongly typed section, an unknown driver or bad driver
  // settings log ERROR and leave no driver; returns whether one is set.
  bool LoadFromJSON(const nlohmann::json& section);
  // The same for the section as read from data_logger.json.
  bool Load(frame::ConfigNode section);
  // Makes sure the target database exists; nothing without a driver.
  void CreateDatabase();
  // Writes one point; true only when the database accepted it. False
  // without a driver.
  bool Insert(const std::shared_ptr<DBMeasurement>& measurement);
  // The driver's checks of a loaded measurement; true without a driver.
  bool Admit(DBMeasurement& measurement) const;
  // Appends the measurement's point; false without a driver or values.
  bool FormatPoint(const DBMeasurement& measurement, std::string& line) const;
  // Kept for the driver interface's future; the system does not call them.
  bool Open() { return false; }
  void Close() {}

  const std::shared_ptr<IDatabaseDriver>& Driver() const { return _driver; }
  const std::string& DriverName() const { return _driverName; }

 private:
  bool LoadDriver(frame::ConfigNode& section);

  std::shared_ptr<IDatabaseDriver> _driver;
  std::string _driverName;
};

}  // namespace VESK
