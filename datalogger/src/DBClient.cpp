#include "DBClient.h"

#include <easylogging++.h>

#include <nlohmann/json.hpp>

#include "ConfigReader.h"
#include "InfluxdbDriver.h"

namespace VESK {

DBClient::DBClient() = default;
DBClient::~DBClient() = default;

bool DBClient::LoadFromJSON(const nlohmann::json& section) {
  frame::ConfigReader reader("database", section);
  return Load(reader.Root());
}

bool DBClient::Load(frame::ConfigNode section) {
  _driver.reset();
  // Without a driver every point is dropped; say so once, here.
  if (!LoadDriver(section)) {
    LOG(ERROR) << "Load Database Failed! " << (section.Path().empty() ? "database" : section.Path())
               << " : no database driver, points are dropped";
    return false;
  }
  return true;
}

bool DBClient::LoadDriver(frame::ConfigNode& section) {
  if (!section.Valid()) return false;  // reported where it was read
  const bool named = section.OneOf("driver", _driverName, {"influxdb"}, frame::Need::Required);
  if (!named) section.Accept("influxdb");  // not judged without its driver
  auto driver = std::make_shared<InfluxdbDriver>();
  const bool loaded = named && driver->Load(section.Object("influxdb", frame::Need::Required));
  section.Done();
  if (loaded) _driver = std::move(driver);
  return loaded;
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
