#pragma once
// The data logger's own settings in "data_logger.json" beside "database" and
// "measurements": the point queue, the acquisition calls and self-metrics.
// Every key, its type, range and default is one row of the table in
// LoggerSettings.cpp; a key that is wrongly typed or out of range is logged
// (ERROR, naming the key) and keeps its default.
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>

namespace VESK {

// A JSON number that is a whole number within [lo, hi], given as an integer
// or as an integral float (8086.0). False for anything else (a fraction, out
// of range, not a number).
bool JsonToInteger(const nlohmann::json& value, long long lo, long long hi, long long& out);

struct LoggerSettings {
  // "queue": where points wait that could not be written yet.
  std::string queuePath;                  // "path"; default: "<project>.queue" beside the project
  long long queueMaxPoints = 1000000;     // "max_points"
  long long queueMaxBytes = 256ll << 20;  // "max_bytes" (line text)
  long long batchLines = 5000;            // "batch_lines": lines per request
  long long retryMinMs = 500;             // "retry_min_ms": first back-off
  long long retryMaxMs = 30000;           // "retry_max_ms": back-off ceiling
  bool fullSync = false;                  // "sync": "normal" (default) or "full"
  // "acquisition"
  bool oneTagPerCall = false;  // "one_tag_per_call"
  // "self_metrics"
  long long metricsIntervalS = 0;                    // "interval_s"; 0 = off
  std::string metricsMeasurement = "pemrix_logger";  // "measurement"

  // Reads the sections from the top-level object cfg; projectPath (with or
  // without a trailing slash) gives the default queue folder and anchors a
  // relative "path".
  void Load(const nlohmann::json& cfg, const std::string& projectPath);
};

}  // namespace VESK
