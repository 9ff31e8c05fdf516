#pragma once
// The data logger service: reads "data_logger.json", then polls the
// acquisition service for each measurement on its cycle and writes points.
#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "LoggerSettings.h"

namespace VESK {

class DBClient;
class DBMeasurement;
class DAQServiceProxy;
class PointForwarder;

class DataLogger {
 public:
  static constexpr int kDefaultReadTimeoutMs = 5000;

  // readTimeoutMs bounds each "ReadParameter" exchange (send and receive).
  explicit DataLogger(int readTimeoutMs = kDefaultReadTimeoutMs);
  ~DataLogger();
  DataLogger(const DataLogger&) = delete;
  DataLogger& operator=(const DataLogger&) = delete;

  // Loads projectPath + "/data_logger.json": the "database" section, the
  // "measurements" list and the logger's own settings (LoggerSettings).
  // Parts that are missing or malformed are logged at ERROR and left
  // unconfigured; so are measurements and fields whose names the database
  // cannot store. False when the file itself is missing, unparsable or not
  // an object (the loop then idles until stopped).
  bool Initial(const std::string& projectPath);
  // The polling loop on the caller's thread: starts the writer thread
  // (PointForwarder: database creation, batches, the durable queue), then
  // per pass reads the measurements that are due, one call per device with
  // every tag they ask for, several devices at once (a silent device fails
  // at once, see DAQServiceProxy), hands their points over in list order,
  // and sleeps
  // until the next is due (at most 1 s) or the stop. A measurement
  // that fell behind skips the cycles it missed; one WARNING per episode
  // says how many, and the self-metrics count them. Returns when the stop
  // flag is seen, even one set before Run started; Stop also ends the
  // calls in flight. Points not yet written are in the
  // queue when Run returns.
  void Run();
  // Async-signal-safe: a lock-free atomic store and one write(2) that ends
  // the loop's sleep.
  void Stop();
  // Releases the service's reference to the acquisition proxy.
  void Destory();

  const std::list<std::shared_ptr<DBMeasurement>>& Measurements() const { return _measurements; }
  const std::shared_ptr<DBClient>& Client() const { return _client; }
  const LoggerSettings& Settings() const { return _settings; }
  // Points read with at least one value so far; any thread may read it.
  std::uint64_t PointsRead() const { return _pointsRead; }
  // Cycles that measurements missed and skipped so far; any thread.
  std::uint64_t CyclesSkipped() const { return _cyclesSkipped; }

  // A lag episode ends after this long without a skipped cycle.
  static constexpr std::chrono::seconds kLagQuiet{10};

 private:
  using Clock = std::chrono::steady_clock;
  // Self-metrics point (when due) and the once-a-minute queue line.
  void Report(std::vector<std::string>& lines);
  // One "ReadParameter" call per device for the groups of the due
  // measurements (each tag once), in the order the devices first appear.
  void ReadDue(const std::vector<DBMeasurement*>& due);
  // Skipped cycles of one pass: counted, and logged once per episode.
  void NoteSkips(std::uint64_t skipped, std::size_t measurements, const std::string& names);
  void Sleep();

  // Closes a file descriptor it owns.
  struct Descriptor {
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor();
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    const int fd;
  };

  std::shared_ptr<DBClient> _client;
  std::list<std::shared_ptr<DBMeasurement>> _measurements;
  std::shared_ptr<DAQServiceProxy> _proxy;
  std::atomic<bool> _stop{false};
  Descriptor _wake;  // an eventfd, readable once Stop ran
  int _readTimeoutMs;
  LoggerSettings _settings;
  std::unique_ptr<PointForwarder> _forwarder;  // exists while Run runs
  std::shared_ptr<DBMeasurement> _metrics;     // the self-metrics point, when on
  std::atomic<std::uint64_t> _pointsRead{0};
  Clock::time_point _metricsDue{}, _reportDue{};
  std::atomic<std::uint64_t> _cyclesSkipped{0};
  std::uint64_t _episodeSkipped = 0;  // loop thread only, as are the two below
  bool _behind = false;
  Clock::time_point _lastSkip{};
};

}  // namespace VESK
