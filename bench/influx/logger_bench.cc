// The whole logger at 200 measurements x 10 fields every 100 ms (the peer's CPU
// is not counted): share of the schedule stored and CPU per point, beside a
// floor of the same points posted over bare sockets.   logger_bench [seconds]
#include <easylogging++.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "AppConfig.h"
#include "DataLogger.h"
#include "DataLoggerTestSupport.h"

using nlohmann::json;
using namespace pemrix::testing;
using namespace std::chrono;

namespace {

constexpr int kMeasurements = 200, kFields = 10, kCycleMs = 100;

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU seconds of this process's child influxd (0 when not found).
double InfluxdCpuSeconds() {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream in(entry.path() / "stat");
    std::string pid, comm, state;
    long ppid = 0;
    if (!(in >> pid >> comm >> state >> ppid) || comm != "(influxd)" || ppid != getpid()) continue;
    std::string skip;
    for (int i = 5; i < 14; ++i) in >> skip;
    double user = 0, system = 0;
    in >> user >> system;
    return (user + system) / double(sysconf(_SC_CLK_TCK));
  }
  return 0;
}

std::string Ns(system_clock::time_point t) { return std::to_string(t.time_since_epoch() / 1ns); }

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  TempDir dir{"pemrix-logger-bench"};
  el::Loggers::reconfigureAllLoggers(el::ConfigurationType::Enabled, "false");
  FakeDaq daq;
  json fields, values;
  for (int f = 0; f < kFields; ++f) {
    fields["f" + std::to_string(f)] = {{"device_id", "dev"}, {"tag_id", "t" + std::to_string(f)}};
    values["dev"]["t" + std::to_string(f)] = 20.0 + f / 8.0;
  }
  daq.SetValues(values);
  InfluxServer influx;
  if (!daq.Start() || !influx.Start()) return std::fprintf(stderr, "influxd or the stand-in did not start\n"), 1;
  json cfg = {{"queue", {{"path", "queue"}}},
              {"database",
               {{"driver", "influxdb"},
                {"influxdb", {{"host", "127.0.0.1"}, {"port", influx.Port()}, {"database_name", "bench"}}}}}};
  for (int m = 0; m < kMeasurements; ++m)
    cfg["measurements"].push_back({{"id", "m" + std::to_string(m)}, {"cycle_ms", kCycleMs}, {"fields", fields}});
  WriteFile(dir.File("data_logger.json"), cfg.dump());
  VESK::AppConfig::Instance._daqApi = daq.Endpoint();

  VESK::DataLogger logger;
  logger.Initial(dir.Path());
  std::thread loop([&] { logger.Run(); });
  std::this_thread::sleep_for(1s);  // database created, first passes done
  const auto wallStart = system_clock::now();
  const double cpuStart = CpuSeconds(), influxdStart = InfluxdCpuSeconds();
  const auto readStart = logger.PointsRead();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double cpu = CpuSeconds() - cpuStart, influxdCpu = InfluxdCpuSeconds() - influxdStart;
  const double read = logger.PointsRead() - readStart;
  const auto wallEnd = system_clock::now();
  std::this_thread::sleep_for(1s);  // the last batches land
  logger.Stop();
  loop.join();

  const json answer =
      json::parse(influx.Query("bench", "SELECT count(f0) FROM /^m[0-9]+$/ WHERE time >= " + Ns(wallStart) +
                                            " AND time < " + Ns(wallEnd)),
                  nullptr, false);
  const double expected = seconds * 1000.0 / kCycleMs;
  const json series = answer.value("/results/0/series"_json_pointer, json::array());
  double worst = int(series.size()) < kMeasurements ? 0 : 1e9, stored = 0;
  for (const auto& s : series) {
    worst = std::min(worst, s["values"][0][1].get<double>() / expected);
    stored += s["values"][0][1].get<double>();
  }

  std::string body;  // the same points as line protocol, one pass per request
  for (int m = 0; m < kMeasurements; ++m) {
    body += "floor ";
    for (int f = 0; f < kFields; ++f) body += (f ? ",f" : "f") + std::to_string(f) + "=21.625";
    body += " " + Ns(system_clock::now() + microseconds(m)) + "\n";
  }
  const double floorCpuStart = CpuSeconds();
  const auto floorStart = steady_clock::now();
  long requests = 0;
  while (steady_clock::now() - floorStart < 3s &&
         HttpRequest(influx.Port(), "POST", "/write?db=bench&epoch=ms", body).status == 204)
    ++requests;
  const double floorSeconds = duration<double>(steady_clock::now() - floorStart).count();
  const double floorCpuPerPoint = (CpuSeconds() - floorCpuStart) / std::max(1.0, double(requests) * kMeasurements);
  const double cpuPerPoint = cpu / std::max(1.0, stored);

  std::printf("logger   read %.0f points/s, stored %.0f points/s = %.0f fields/s (schedule %.0f points/s)\n",
              read / seconds, stored / seconds, stored * kFields / seconds, kMeasurements * 1000.0 / kCycleMs);
  std::printf("worst    %.1f %% of its schedule stored (%zu of %d measurements seen)\n", worst * 100, series.size(),
              kMeasurements);
  std::printf("cpu      logger %.1f us per point, floor %.1f us per point at %.0f points/s: ratio %.1f x floor\n",
              cpuPerPoint * 1e6, floorCpuPerPoint * 1e6, requests * kMeasurements / floorSeconds,
              cpuPerPoint / floorCpuPerPoint);
  std::printf("influxd  %.1f us of its CPU per point stored (%.0f %% of a core)\n",
              influxdCpu / std::max(1.0, stored) * 1e6, influxdCpu / seconds * 100);
  return worst >= 0.95 ? 0 : 2;
}
