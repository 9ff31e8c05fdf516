#include "DataLogger.h"

#include <easylogging++.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "AppConfig.h"
#include "ConfigReader.h"
#include "DAQServiceProxy.h"
#include "DBClient.h"
#include "DBMeasurement.h"
#include "IDatabaseDriver.h"
#include "PointForwarder.h"
#include "Readiness.h"
#include "ServiceFrame.h"

namespace VESK {

static_assert(std::atomic<bool>::is_always_lock_free, "Stop() must be async-signal-safe");

namespace {

const char* const kMetricFields[] = {"points_read",    "points_written", "points_queued", "points_dropped",
                                     "points_refused", "queue_points",   "queue_bytes",   "failed_reads",
                                     "last_write_ns",  "cycles_skipped"};

}  // namespace

DataLogger::DataLogger(int readTimeoutMs)
    : _client(std::make_shared<DBClient>()),
      _wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      _readTimeoutMs(readTimeoutMs) {}

DataLogger::Descriptor::~Descriptor() {
  if (fd >= 0) close(fd);
}

void DataLogger::Stop() {
  _stop = true;
  const std::uint64_t one = 1;
  if (_wake.fd >= 0) {
    const ssize_t written = write(_wake.fd, &one, sizeof one);
    (void)written;  // a full counter is readable all the same
  }
}

DataLogger::~DataLogger() {
  _forwarder.reset();
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
  _settings = LoggerSettings();
  _settings.Load(cfg, projectPath);

  _metrics.reset();
  if (_settings.metricsIntervalS > 0) {
    nlohmann::json fields = nlohmann::json::object();
    for (const char* name : kMetricFields) fields[name] = {{"device_id", ""}, {"tag_id", name}};
    auto metrics = std::make_shared<DBMeasurement>(nullptr);
    if (metrics->LoadFromJSON({{"id", _settings.metricsMeasurement}, {"cycle_ms", 1000}, {"fields", fields}}) &&
        _client->Admit(*metrics))
      _metrics = metrics;
  }

  _proxy = std::make_shared<DAQServiceProxy>(AppConfig::Instance._daqApi, _readTimeoutMs, _settings.callsInFlight);
  _measurements.clear();
  frame::ConfigNode list = cfg.Array("measurements");
  if (list.Valid() || !cfg.Json().contains("measurements"))  // a wrong type is reported already
    cfg.Check("measurements", list.Valid() && !list.Json().empty(), "at least one measurement");
  std::set<std::string> ids;
  for (auto& [index, item] : list.Children()) {
    if (!item.ExpectObject()) continue;  // reported and skipped
    auto measurement = std::make_shared<DBMeasurement>(_proxy);
    if (!measurement->Load(item) || !_client->Admit(*measurement)) continue;
    // Kept, as it always was: the two write into one series.
    item.Check("id", ids.insert(measurement->Name()).second, "an id no other measurement has");
    measurement->SetOneTagPerCall(_settings.oneTagPerCall);
    _measurements.push_back(measurement);
  }
  cfg.Done();
  return true;
}

void DataLogger::Run() {
  if (_client->Driver()) {
    PointForwarder::Settings s;
    s.queueDir = _settings.queuePath;
    s.limits = {_settings.queueMaxPoints, _settings.queueMaxBytes, _settings.fullSync};
    s.batchLines = static_cast<std::size_t>(_settings.batchLines);
    s.retryMin = std::chrono::milliseconds(_settings.retryMinMs);
    s.retryMax = std::chrono::milliseconds(_settings.retryMaxMs);
    _forwarder = std::make_unique<PointForwarder>(_client->Driver(), s, _stop);
    _forwarder->Start();
  }
  const auto start = Clock::now();
  _metricsDue = start + std::chrono::seconds(_settings.metricsIntervalS);
  _reportDue = start + std::chrono::minutes(1);
  for (auto& m : _measurements) m->Schedule(start);
  std::vector<std::string> lines;
  std::vector<DBMeasurement*> due;
  frame::Heartbeat heartbeat("data logger loop");  // watchdog: see Readiness.h
  while (!_stop) {
    heartbeat.Beat();
    due.clear();
    for (auto& m : _measurements)
      if (m->Begin(Clock::now())) due.push_back(m.get());
    ReadDue(due);
    if (_stop) break;
    std::uint64_t skipped = 0;
    std::size_t late = 0;
    std::string names;
    for (DBMeasurement* m : due) {
      if (const auto missed = m->TakeSkipped()) {
        skipped += missed;
        if (++late <= 5) names += (names.empty() ? "" : ", ") + m->Name();
      }
      if (!m->HasValues()) continue;  // nothing read: no point
      ++_pointsRead;
      std::string line;
      if (_client->FormatPoint(*m, line)) lines.push_back(std::move(line));
    }
    NoteSkips(skipped, late, names);
    Report(lines);
    if (_forwarder && !lines.empty()) _forwarder->Submit(std::move(lines));
    lines.clear();
    Sleep();
  }
  // The points of an interrupted pass are not handed over: a stop between
  // reads leaves a measurement half read.
  if (_forwarder) _forwarder->Stop();
  _forwarder.reset();
  frame::LogPendingSignal();
}

void DataLogger::Report(std::vector<std::string>& lines) {
  if (!_forwarder) return;
  const auto now = Clock::now();
  const auto& c = _forwarder->Counters();
  const std::uint64_t values[] = {_pointsRead,
                                  c.written,
                                  c.queued,
                                  c.dropped,
                                  c.refused,
                                  static_cast<std::uint64_t>(c.queuePoints.load()),
                                  static_cast<std::uint64_t>(c.queueBytes.load()),
                                  _proxy ? _proxy->failedReads.load() : 0,
                                  static_cast<std::uint64_t>(c.lastWriteNs.load()),
                                  _cyclesSkipped.load()};
  if (_metrics && now >= _metricsDue) {
    _metricsDue += std::chrono::seconds(_settings.metricsIntervalS);
    if (_metricsDue < now) _metricsDue = now + std::chrono::seconds(_settings.metricsIntervalS);
    // Fields are held in key order; match them by name.
    for (auto& field : _metrics->Fields())
      for (std::size_t i = 0; i < std::size(values); ++i)
        if (field->Name() == kMetricFields[i]) field->Value() = static_cast<std::int64_t>(values[i]);
    _metrics->SetTimestamp(std::chrono::system_clock::now());
    std::string line;
    if (_client->FormatPoint(*_metrics, line)) lines.push_back(std::move(line));
  }
  if (now >= _reportDue) {
    _reportDue = now + std::chrono::minutes(1);
    if (c.queuePoints > 0) {
      std::string text;
      for (std::size_t i = 0; i < std::size(values); ++i)
        text += std::string(i ? ", " : "") + kMetricFields[i] + " " + std::to_string(values[i]);
      LOG(INFO) << "Point Queue Waiting : " << text;
    }
  }
}

void DataLogger::ReadDue(const std::vector<DBMeasurement*>& due) {
  struct Batch {
    std::string device;
    std::vector<std::string> tags;  // each once, in the order first asked
    std::unordered_set<std::string> asked;
    std::vector<std::pair<DBMeasurement*, std::size_t>> groups;  // measurement, group
  };
  std::vector<Batch> batches;
  std::unordered_map<std::string, std::size_t> byDevice;
  for (DBMeasurement* m : due) {
    const auto& groups = m->Groups();
    for (std::size_t g = 0; g < groups.size(); ++g) {
      std::size_t index = batches.size();
      // A service that takes one tag per call gets each group on its own.
      if (!m->OneTagPerCall()) index = byDevice.emplace(groups[g].device, batches.size()).first->second;
      if (index == batches.size()) batches.push_back(Batch{groups[g].device, {}, {}, {}});
      Batch& batch = batches[index];
      for (const auto& tag : groups[g].tags)
        if (batch.asked.insert(tag).second) batch.tags.push_back(tag);
      batch.groups.emplace_back(m, g);
    }
  }
  // The calls go out together; their answers are applied in batch order.
  std::vector<nlohmann::json> values(batches.size());
  std::vector<DAQServiceProxy::DeviceCall> calls;
  for (std::size_t i = 0; i < batches.size(); ++i)
    calls.push_back({&batches[i].device, &batches[i].tags, false, &values[i]});
  if (_stop || calls.empty() || !_proxy) return;  // no proxy: the configuration was not loaded
  _proxy->ReadTags(calls, _wake.fd);
  if (_stop) return;  // an interrupted pass hands nothing over
  for (std::size_t i = 0; i < batches.size(); ++i)
    for (const auto& [m, g] : batches[i].groups) m->Apply(g, calls[i].answered, values[i]);
}

void DataLogger::NoteSkips(std::uint64_t skipped, std::size_t measurements, const std::string& names) {
  const auto now = Clock::now();
  if (skipped == 0) {
    if (_behind && now - _lastSkip >= kLagQuiet) {
      _behind = false;
      LOG(INFO) << "Measurements on their cycle again : " << _episodeSkipped << " cycles skipped in all";
    }
    return;
  }
  _cyclesSkipped += skipped;
  _lastSkip = now;
  if (!_behind) {
    _behind = true;
    _episodeSkipped = 0;
    LOG(WARNING) << "Measurements behind their cycle : " << skipped << " cycles skipped by " << measurements
                 << " measurements (" << names << (measurements > 5 ? ", ..." : "") << ")";
  }
  _episodeSkipped += skipped;
}

void DataLogger::Sleep() {
  // Until the nearest due time exactly (the wait is not rounded down, so no
  // pass comes early and finds nothing due), at most 1 s, or until Stop.
  auto until = Clock::now() + std::chrono::seconds(1);
  for (auto& m : _measurements) until = std::min(until, m->DueTime());
  if (_metrics && _forwarder) until = std::min(until, _metricsDue);
  const auto left = until - Clock::now();
  if (left <= Clock::duration::zero()) return;
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count() + 1;
  const timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  pollfd wake{_wake.fd, POLLIN, 0};
  // An interrupting signal ends the wait early: the next pass finds nothing
  // due and sleeps again.
  ppoll(&wake, _wake.fd >= 0 ? 1 : 0, &wait, nullptr);
}

void DataLogger::Destory() { _proxy.reset(); }

}  // namespace VESK
