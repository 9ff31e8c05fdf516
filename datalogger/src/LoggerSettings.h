#pragma once
// The data logger's own settings in "data_logger.json" beside "database" and
// "measurements": the point queue, the acquisition calls and self-metrics.
// All are read in LoggerSettings::Load, one line per key with its type,
// range and default; a key that is wrongly typed or out of range is logged
// by the configuration reader and keeps its default.
#include <string>

#include "ConfigReader.h"

namespace VESK {

struct LoggerSettings {
  // "queue": where points wait that could not be written yet.
  std::string queuePath;                  // "path"; default "<project>.queue" beside the project
  long long queueMaxPoints = 1000000;     // "max_points"
  long long queueMaxBytes = 256ll << 20;  // "max_bytes" (line text)
  int batchLines = 5000;                  // "batch_lines": lines per request
  int retryMinMs = 500;                   // "retry_min_ms": first back-off
  int retryMaxMs = 30000;                 // "retry_max_ms": back-off ceiling
  bool fullSync = false;                  // "sync": "normal" (default) or "full"
  // "acquisition"
  bool oneTagPerCall = false;  // "one_tag_per_call"
  int callsInFlight = 4;       // "calls_in_flight": devices read at once
  // "self_metrics"
  int metricsIntervalS = 0;                          // "interval_s"; 0 = off
  std::string metricsMeasurement = "pemrix_logger";  // "measurement"

  // Reads the sections from the top level of data_logger.json; projectPath
  // (with or without a trailing slash) gives the default queue folder and
  // anchors a relative "path".
  void Load(frame::ConfigNode& root, const std::string& projectPath);
};

}  // namespace VESK
