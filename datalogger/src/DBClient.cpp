#include "DBClient.h"

#include <easylogging++.h>

#include <nlohmann/json.hpp>

#include "InfluxdbDriver.h"
#include "JsonFile.h"

namespace VESK {

DBClient::DBClient() = default;
DBClient::~DBClient() = default;

bool DBClient::LoadFromJSON(const nlohmann::json& section) {
  _driver.reset();
  if (!section.is_object()) {
    LOG(ERROR) << "Load Database Failed! 'database' must be an object, not " << frame::JsonTypeName(section);
    return false;
  }
  auto name = section.find("driver");
  if (name == section.end() || !name->is_string()) {
    LOG(ERROR) << "Load Database Failed! 'driver' must be a string";
    return false;
  }
  _driverName = name->get<std::string>();
  if (_driverName != "influxdb") {
    // Without a driver every point is dropped; say so once, here.
    LOG(ERROR) << "Load Database Failed! Unknown driver " << _driverName;
    return false;
  }
  auto driver = std::make_shared<InfluxdbDriver>();
  auto settings = section.find("influxdb");
  if (!driver->LoadFromJSON(settings == section.end() ? nlohmann::json() : *settings)) return false;
  _driver = std::move(driver);
  return true;
}

void DBClient::CreateDatabase() {
  if (_driver) _driver->CreateDatabase();
}

bool DBClient::Admit(DBMeasurement& measurement) const { return !_driver || _driver->Admit(measurement); }

bool DBClient::FormatPoint(const DBMeasurement& measurement, std::string& line) const {
  return _driver && _driver->FormatPoint(measurement, line);
}

bool DBClient::Insert(const std::shared_ptr<DBMeasurement>& measurement) {
  return _driver ? _driver->Insert(measurement) : false;
}

}  // namespace VESK
