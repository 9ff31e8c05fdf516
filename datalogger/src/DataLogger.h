#pragma once
// The data logger service: reads "data_logger.json", then polls the
// acquisition service for each measurement on its cycle and writes points.
#include <atomic>
#include <list>
#include <memory>
#include <string>

namespace VESK {

class DBClient;
class DBMeasurement;
class DAQServiceProxy;

class DataLogger {
 public:
  static constexpr int kDefaultReadTimeoutMs = 5000;

  // readTimeoutMs bounds each "ReadParameter" exchange (send and receive).
  explicit DataLogger(int readTimeoutMs = kDefaultReadTimeoutMs);
  ~DataLogger();
  DataLogger(const DataLogger&) = delete;
  DataLogger& operator=(const DataLogger&) = delete;

  // Loads projectPath + "/data_logger.json": the "database" section and the
  // "measurements" list. Parts that are missing or malformed are logged at
  // ERROR and left unconfigured. False when the file itself is missing,
  // unparsable or not an object (the loop then idles until stopped).
  bool Initial(const std::string& projectPath);
  // The polling loop on the caller's thread: creates the database, then
  // updates due measurements, writes them and sleeps until the next is due
  // (at most 1 s). Returns when the stop flag is seen, even one set before
  // Run started.
  void Run();
  // Async-signal-safe: one lock-free atomic store.
  void Stop() { _stop = true; }
  // Releases the service's reference to the acquisition proxy.
  void Destory();

  const std::list<std::shared_ptr<DBMeasurement>>& Measurements() const { return _measurements; }
  const std::shared_ptr<DBClient>& Client() const { return _client; }

 private:
  std::shared_ptr<DBClient> _client;
  std::list<std::shared_ptr<DBMeasurement>> _measurements;
  std::shared_ptr<DAQServiceProxy> _proxy;
  std::atomic<bool> _stop{false};
  int _readTimeoutMs;
};

}  // namespace VESK
