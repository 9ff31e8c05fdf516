#include "LoggerSettings.h"

namespace VESK {

namespace {

// A 64-bit count: the reader's integer reads stop at int.
void ReadCount(frame::ConfigNode& node, const char* key, long long& out, frame::IntRange range) {
  if (!node.Json().contains(key)) return;
  node.Accept(key);
  const auto value = frame::JsonInteger(node.Json()[key], range);
  if (node.Check(key, value.has_value(),
                 "an integer from " + std::to_string(range.lo) + " to " + std::to_string(range.hi)))
    out = *value;
}

}  // namespace

void LoggerSettings::Load(frame::ConfigNode& root, const std::string& projectPath) {
  using frame::IntRange;
  frame::ConfigNode queue = root.Object("queue");
  queue.Read("path", queuePath);
  ReadCount(queue, "max_points", queueMaxPoints, {1, 1ll << 40});
  ReadCount(queue, "max_bytes", queueMaxBytes, {1024, 1ll << 50});
  queue.Read("batch_lines", batchLines, IntRange{1, 1000000});
  queue.Read("retry_min_ms", retryMinMs, IntRange{1, 3600000});
  queue.Read("retry_max_ms", retryMaxMs, IntRange{1, 86400000});
  // A floor above the ceiling is a typo; the ceiling is raised to it.
  queue.Check("retry_min_ms", retryMinMs <= retryMaxMs, "at most retry_max_ms (" + std::to_string(retryMaxMs) + ")");
  std::string sync;
  if (queue.OneOf("sync", sync, {"normal", "full"})) fullSync = sync == "full";
  queue.Done();
  frame::ConfigNode acquisition = root.Object("acquisition");
  acquisition.Read("one_tag_per_call", oneTagPerCall);
  acquisition.Read("calls_in_flight", callsInFlight, IntRange{1, 16});
  acquisition.Done();
  frame::ConfigNode metrics = root.Object("self_metrics");
  metrics.Read("interval_s", metricsIntervalS, IntRange{0, 86400});
  metrics.Read("measurement", metricsMeasurement);
  metrics.Done();

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
