// The logger at volume against the acquisition stand-in and a real influxd:
// M measurements x F fields every 100 ms, each field its own tag. Prints the
// worst measurement's share of its schedule stored, the cycles it skipped and
// the logger's CPU per stored field (the peers' CPU is not counted); exits 2
// below 95 %.   logger_volume_bench [measurements] [fields] [seconds]
#include <easylogging++.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "AppConfig.h"
#include "DataLogger.h"
#include "DataLoggerTestSupport.h"
#include "LoggerBench.h"

using nlohmann::json;
using namespace pemrix::testing;
using namespace std::chrono;
using pemrix::bench::CpuSeconds;
using pemrix::bench::Ns;

namespace {

constexpr int kCycleMs = 100;

}  // namespace

int main(int argc, char** argv) {
  const int measurements = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
  const int fields = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;
  const int seconds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 10;
  TempDir dir{"pemrix-logger-volume"};
  el::Loggers::reconfigureAllLoggers(el::ConfigurationType::Enabled, "false");
  FakeDaq daq;
  json values, list = json::array();
  for (int m = 0; m < measurements; ++m) {
    json entry = {{"id", "m" + std::to_string(m)}, {"cycle_ms", kCycleMs}};
    for (int f = 0; f < fields; ++f) {
      const std::string tag = "t" + std::to_string(m) + "." + std::to_string(f);
      entry["fields"]["f" + std::to_string(f)] = {{"device_id", "dev"}, {"tag_id", tag}};
      values["dev"][tag] = 20.0 + f / 8.0;
    }
    list.push_back(entry);
  }
  daq.SetValues(values);
  InfluxServer influx;
  if (!daq.Start() || !influx.Start()) return std::fprintf(stderr, "influxd or the stand-in did not start\n"), 1;
  const json cfg = {{"queue", {{"path", "queue"}}},
                    {"database",
                     {{"driver", "influxdb"},
                      {"influxdb", {{"host", "127.0.0.1"}, {"port", influx.Port()}, {"database_name", "volume"}}}}},
                    {"measurements", list}};
  WriteFile(dir.File("data_logger.json"), cfg.dump());
  VESK::AppConfig::Instance._daqApi = daq.Endpoint();

  VESK::DataLogger logger;
  logger.Initial(dir.Path());
  std::thread loop([&] { logger.Run(); });
  std::this_thread::sleep_for(2s);  // database created, first passes done
  const auto wallStart = system_clock::now();
  const double cpuStart = CpuSeconds();
  const auto skippedStart = logger.CyclesSkipped();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double cpu = CpuSeconds() - cpuStart;
  const auto skipped = logger.CyclesSkipped() - skippedStart;
  const auto wallEnd = system_clock::now();
  std::this_thread::sleep_for(2s);  // the last batches land
  logger.Stop();
  loop.join();

  const json answer =
      json::parse(influx.Query("volume", "SELECT count(f0) FROM /^m[0-9]+$/ WHERE time >= " + Ns(wallStart) +
                                             " AND time < " + Ns(wallEnd)),
                  nullptr, false);
  const double expected = seconds * 1000.0 / kCycleMs;
  const json series = answer.value("/results/0/series"_json_pointer, json::array());
  double worst = int(series.size()) < measurements ? 0 : 1e9, stored = 0;
  for (const auto& s : series) {
    worst = std::min(worst, s["values"][0][1].get<double>() / expected);
    stored += s["values"][0][1].get<double>();
  }
  std::printf("volume   %d measurements x %d fields every %d ms: schedule %.0f reads/s of measurements\n", measurements,
              fields, kCycleMs, measurements * 1000.0 / kCycleMs);
  std::printf(
      "stored   %.0f points/s = %.0f fields/s; worst measurement %.1f %% of its schedule; %llu cycles "
      "skipped\n",
      stored / seconds, stored * fields / seconds, worst * 100, static_cast<unsigned long long>(skipped));
  std::printf("cpu      logger %.2f us per stored field (%.0f ms per s)\n", cpu * 1e6 / std::max(1.0, stored * fields),
              cpu * 1000 / seconds);
  return worst >= 0.95 ? 0 : 2;
}
