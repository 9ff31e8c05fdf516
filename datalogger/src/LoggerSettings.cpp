#include "LoggerSettings.h"

#include <easylogging++.h>

#include <cmath>
#include <nlohmann/json.hpp>

namespace VESK {

bool JsonToInteger(const nlohmann::json& value, long long lo, long long hi, long long& out) {
  if (value.is_number_integer()) {
    if (value.is_number_unsigned() && value.get<unsigned long long>() > static_cast<unsigned long long>(hi))
      return false;
    const long long v = value.get<long long>();
    if (v < lo || v > hi) return false;
    out = v;
    return true;
  }
  if (!value.is_number_float()) return false;
  const double d = value.get<double>();
  // Compared as doubles first: converting an out-of-range double is undefined.
  if (!std::isfinite(d) || d != std::trunc(d) || d < static_cast<double>(lo) || d > static_cast<double>(hi))
    return false;
  out = static_cast<long long>(d);
  return true;
}

namespace {

enum class Kind { Integer, Boolean, String, SyncMode };

struct Row {
  const char* section;
  const char* key;
  Kind kind;
  long long lo, hi;
  long long LoggerSettings::*integer;
  bool LoggerSettings::*flag;
  std::string LoggerSettings::*text;
};

using S = LoggerSettings;
const Row kRows[] = {
    {"queue", "path", Kind::String, 0, 0, nullptr, nullptr, &S::queuePath},
    {"queue", "max_points", Kind::Integer, 1, 1ll << 40, &S::queueMaxPoints, nullptr, nullptr},
    {"queue", "max_bytes", Kind::Integer, 1024, 1ll << 50, &S::queueMaxBytes, nullptr, nullptr},
    {"queue", "batch_lines", Kind::Integer, 1, 1000000, &S::batchLines, nullptr, nullptr},
    {"queue", "retry_min_ms", Kind::Integer, 1, 3600000, &S::retryMinMs, nullptr, nullptr},
    {"queue", "retry_max_ms", Kind::Integer, 1, 86400000, &S::retryMaxMs, nullptr, nullptr},
    {"queue", "sync", Kind::SyncMode, 0, 0, nullptr, &S::fullSync, nullptr},
    {"acquisition", "one_tag_per_call", Kind::Boolean, 0, 0, nullptr, &S::oneTagPerCall, nullptr},
    {"self_metrics", "interval_s", Kind::Integer, 0, 86400, &S::metricsIntervalS, nullptr, nullptr},
    {"self_metrics", "measurement", Kind::String, 0, 0, nullptr, nullptr, &S::metricsMeasurement},
};

// Stores value into the row's member; false when it has the wrong type or
// range (the member is then untouched).
bool Apply(const Row& row, const nlohmann::json& value, LoggerSettings& s) {
  switch (row.kind) {
    case Kind::Integer:
      return JsonToInteger(value, row.lo, row.hi, s.*row.integer);
    case Kind::Boolean:
      if (!value.is_boolean()) return false;
      s.*row.flag = value.get<bool>();
      return true;
    case Kind::String:
      if (!value.is_string() || value.get_ref<const std::string&>().empty()) return false;
      s.*row.text = value.get<std::string>();
      return true;
    case Kind::SyncMode:
      if (value != "normal" && value != "full") return false;
      s.*row.flag = value == "full";
      return true;
  }
  return false;
}

std::string Expected(const Row& row) {
  switch (row.kind) {
    case Kind::Integer:
      return "an integer from " + std::to_string(row.lo) + " to " + std::to_string(row.hi);
    case Kind::Boolean:
      return "true or false";
    case Kind::String:
      return "a non-empty string";
    case Kind::SyncMode:
      return "\"normal\" or \"full\"";
  }
  return "";
}

}  // namespace

void LoggerSettings::Load(const nlohmann::json& cfg, const std::string& projectPath) {
  for (const Row& row : kRows) {
    auto section = cfg.find(row.section);
    if (section == cfg.end() || !section->is_object()) continue;
    auto value = section->find(row.key);
    if (value == section->end()) continue;
    if (!Apply(row, *value, *this))
      LOG(ERROR) << "Load Settings Failed! '" << row.section << "." << row.key << "' must be " << Expected(row)
                 << ", default kept";
  }
  std::string project = projectPath;
  while (project.size() > 1 && project.back() == '/') project.pop_back();
  if (queuePath.empty()) {
    queuePath = project + ".queue";
  } else if (queuePath.front() != '/') {
    queuePath = project + "/" + queuePath;
  }
  if (retryMaxMs < retryMinMs) retryMaxMs = retryMinMs;
}

}  // namespace VESK
