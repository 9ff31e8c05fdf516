// The logger at rest: one measurement of one field every 100 ms. Prints its
// CPU per second of wall time and the wake-ups of its loop thread and of the
// whole process per cycle; exits 2 above 2 ms of CPU a second or 2.5 loop
// wake-ups a cycle.   logger_rest_bench [seconds]
#include <easylogging++.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "AppConfig.h"
#include "DataLogger.h"
#include "DataLoggerTestSupport.h"
#include "LoggerBench.h"

using nlohmann::json;
using namespace pemrix::testing;
using namespace std::chrono;
using pemrix::bench::CpuSeconds;

namespace {

constexpr int kCycleMs = 100;

// Context switches a thread gave up the CPU for (its sleeps and waits).
long Wakeups(const std::string& task) {
  std::ifstream in("/proc/self/task/" + task + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
  return 0;
}

// CPU seconds of every thread of the process, by name and id.
std::map<std::string, double> ThreadCpu() {
  std::map<std::string, double> cpu;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream in(entry.path() / "stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 2));
    std::string skip;
    long utime = 0, stime = 0;
    for (int i = 0; i < 11; ++i) fields >> skip;
    fields >> utime >> stime;
    const std::string name = stat.substr(stat.find('(') + 1, close - stat.find('(') - 1);
    cpu[name + "/" + entry.path().filename().string()] = double(utime + stime) / sysconf(_SC_CLK_TCK);
  }
  return cpu;
}

long ProcessWakeups() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_nvcsw;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  TempDir dir{"pemrix-logger-rest"};
  el::Loggers::reconfigureAllLoggers(el::ConfigurationType::Enabled, "false");
  FakeDaq daq;
  daq.SetValues({{"dev", {{"t", 21.5}}}});
  InfluxServer influx;
  if (!daq.Start() || !influx.Start()) return std::fprintf(stderr, "influxd or the stand-in did not start\n"), 1;
  const json cfg = {
      {"queue", {{"path", "queue"}}},
      {"database",
       {{"driver", "influxdb"},
        {"influxdb", {{"host", "127.0.0.1"}, {"port", influx.Port()}, {"database_name", "rest"}}}}},
      {"measurements",
       {{{"id", "m"}, {"cycle_ms", kCycleMs}, {"fields", {{"t", {{"device_id", "dev"}, {"tag_id", "t"}}}}}}}}};
  WriteFile(dir.File("data_logger.json"), cfg.dump());
  VESK::AppConfig::Instance._daqApi = daq.Endpoint();

  VESK::DataLogger logger;
  logger.Initial(dir.Path());
  std::atomic<pid_t> loopTask{0};
  std::thread loop([&] {
    loopTask = gettid();
    logger.Run();
  });
  std::this_thread::sleep_for(2s);  // database created, first points written
  const std::string task = std::to_string(loopTask.load());
  const auto threadsStart = ThreadCpu();
  const double cpuStart = CpuSeconds();
  const long loopStart = Wakeups(task), processStart = ProcessWakeups();
  const auto readStart = logger.PointsRead();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double cpu = CpuSeconds() - cpuStart;
  const double cycles = std::max<double>(1, logger.PointsRead() - readStart);
  const long loopWakes = Wakeups(task) - loopStart, processWakes = ProcessWakeups() - processStart;
  auto threads = ThreadCpu();
  logger.Stop();
  loop.join();

  const double cpuMsPerS = cpu * 1000 / seconds;
  std::printf("at rest  1 measurement x 1 field every %d ms: %.0f cycles in %d s\n", kCycleMs, cycles, seconds);
  std::printf("cpu      %.2f ms per s (target <= 2)\n", cpuMsPerS);
  std::printf("wake-ups loop thread %.2f per cycle (target <= ~2), whole process %.2f per cycle\n", loopWakes / cycles,
              processWakes / cycles);
  std::printf("threads (loop %s)", task.c_str());  // which thread spends it (clock ticks, so coarse)
  for (auto& [name, total] : threads) {
    const auto before = threadsStart.find(name);
    const double spent = total - (before == threadsStart.end() ? 0 : before->second);
    if (spent > 0) std::printf(" %s %.2f ms/s", name.c_str(), spent * 1000 / seconds);
  }
  std::printf("\n");
  return cpuMsPerS <= 2 && loopWakes / cycles <= 2.5 ? 0 : 2;
}
