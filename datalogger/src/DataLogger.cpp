#include "DataLogger.h"

#include <easylogging++.h>
#include <time.h>

#include <nlohmann/json.hpp>

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

const char* const kMetricFields[] = {"points_read",    "points_written", "points_queued",
                                     "points_dropped", "points_refused", "queue_points",
                                     "queue_bytes",    "failed_reads",   "last_write_ns"};

}  // namespace

DataLogger::DataLogger(int readTimeoutMs) : _client(std::make_shared<DBClient>()), _readTimeoutMs(readTimeoutMs) {}

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

  _proxy = std::make_shared<DAQServiceProxy>(AppConfig::Instance._daqApi, _readTimeoutMs);
  _measurements.clear();
  for (auto& [index, item] : cfg.Array("measurements").Children()) {
    if (!item.ExpectObject()) continue;  // reported and skipped
    auto measurement = std::make_shared<DBMeasurement>(_proxy);
    if (!measurement->Load(item) || !_client->Admit(*measurement)) continue;
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
  std::vector<std::string> lines;
  frame::Heartbeat heartbeat("data logger loop");  // watchdog: see Readiness.h
  while (!_stop) {
    for (auto& m : _measurements) {
      heartbeat.Beat();  // per read: a pass over many slow reads stays alive
      if (_stop) break;
      if (!m->Update(Clock::now(), &_stop)) continue;
      ++_pointsRead;
      std::string line;
      if (_client->FormatPoint(*m, line)) lines.push_back(std::move(line));
    }
    if (_stop) break;
    Report(lines);
    if (_forwarder && !lines.empty()) _forwarder->Submit(std::move(lines));
    lines.clear();
    heartbeat.Beat();
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
                                  static_cast<std::uint64_t>(c.lastWriteNs.load())};
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

void DataLogger::Sleep() {
  using std::chrono::milliseconds;
  // Until the nearest due time, between 1 ms and 1 s; a measurement that
  // fell behind is caught up one update per pass.
  milliseconds bound(1000);
  for (auto& m : _measurements) {
    const auto left = std::chrono::duration_cast<milliseconds>(m->DueTime() - Clock::now());
    if (left < bound) bound = left;
  }
  if (bound < milliseconds(1)) bound = milliseconds(1);
  // In slices, so a stop is seen soon even when its signal reached another
  // thread and left this sleep running.
  const auto end = Clock::now() + bound;
  while (!_stop) {
    const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
    if (left <= milliseconds(0)) break;
    const auto slice = std::min(left, milliseconds(100));
    timespec ts{0, static_cast<long>(slice.count()) * 1000000L};
    nanosleep(&ts, nullptr);
  }
}

void DataLogger::Destory() { _proxy.reset(); }

}  // namespace VESK
