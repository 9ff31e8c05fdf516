#include "DataLogger.h"

#include <easylogging++.h>
#include <time.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <vector>

#include "AppConfig.h"
#include "ConfigReader.h"
#include "DAQServiceProxy.h"
#include "DBClient.h"
#include "DBMeasurement.h"
#include "ServiceFrame.h"

namespace VESK {

static_assert(std::atomic<bool>::is_always_lock_free, "Stop() must be async-signal-safe");

DataLogger::DataLogger(int readTimeoutMs) : _client(std::make_shared<DBClient>()), _readTimeoutMs(readTimeoutMs) {}

DataLogger::~DataLogger() {
  _client.reset();
  _proxy.reset();
  _measurements.clear();
}

bool DataLogger::Initial(const std::string& projectPath) {
  const std::string path = projectPath + "/data_logger.json";
  frame::ConfigReader reader(path);
  frame::ConfigNode cfg = reader.Root();
  if (!cfg.Valid()) return false;  // the reader has logged why
  _client->Load(cfg.Object("database", frame::Need::Required));

  _proxy = std::make_shared<DAQServiceProxy>(AppConfig::Instance._daqApi, _readTimeoutMs);
  _measurements.clear();
  for (auto& [index, item] : cfg.Array("measurements").Children()) {
    if (!item.ExpectObject()) continue;  // reported and skipped
    auto measurement = std::make_shared<DBMeasurement>(_proxy);
    if (measurement->Load(item)) _measurements.push_back(measurement);
  }
  cfg.Done();
  return true;
}

void DataLogger::Run() {
  using Clock = DBMeasurement::Clock;
  using std::chrono::milliseconds;
  _client->CreateDatabase();
  std::vector<std::shared_ptr<DBMeasurement>> updated;
  while (!_stop) {
    for (auto& m : _measurements) {
      if (m->Update(Clock::now())) updated.push_back(m);
    }
    for (auto& m : updated) _client->Insert(m);
    updated.clear();

    // Sleep until the nearest due time, between 1 ms and 1 s; a measurement
    // that fell behind is caught up one update per pass.
    milliseconds bound(1000);
    for (auto& m : _measurements) {
      const auto left = std::chrono::duration_cast<milliseconds>(m->DueTime() - Clock::now());
      if (left < bound) bound = left;
    }
    if (bound < milliseconds(1)) bound = milliseconds(1);
    timespec ts{static_cast<time_t>(bound.count() / 1000), static_cast<long>(bound.count() % 1000) * 1000000L};
    // A signal cuts the sleep short; the flag is read at the top of the pass.
    nanosleep(&ts, nullptr);
  }
  frame::LogPendingSignal();
}

void DataLogger::Destory() { _proxy.reset(); }

}  // namespace VESK
