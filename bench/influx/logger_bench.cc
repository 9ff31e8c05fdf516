// The whole data logger against the acquisition stand-in and a real influxd,
// every measurement each 100 ms, each field its own tag.
//   logger_bench [volume] [measurements] [fields] [seconds] [devices] [calls]
//     (200 x 10, 10 s, 1 device, the default calls in flight; measurement m
//     reads device m % devices):
//     the worst measurement's share of its schedule stored, cycles skipped and
//     the logger's CPU per stored point and field, beside a floor of the same
//     points posted over bare sockets, and influxd's CPU; exits 2 below 95 %.
//   logger_bench rest [seconds]   one measurement of one field: CPU per second
//     and wake-ups per cycle, also per thread, beside a floor (the read call
//     alone on a timer); exits 2 above 2 ms of CPU a second or 2.5 loop
//     wake-ups a cycle.
// The logger's WARNING and ERROR lines are shown (one says when the schedule
// cannot be met).
#include <easylogging++.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "AppConfig.h"
#include "DataLogger.h"
#include "DataLoggerTestSupport.h"
#include "JsonRpcClient.h"

using nlohmann::json;
using namespace pemrix::testing;
using namespace std::chrono;

namespace {

constexpr int kCycleMs = 100;

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Context switches a thread gave up the CPU for (its sleeps and waits).
long Wakeups(pid_t task) {
  std::ifstream in("/proc/self/task/" + std::to_string(task) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
  return 0;
}

// CPU (ns run) and wake-ups of each thread of this process, by thread id.
struct ThreadUse {
  std::string name;
  double cpuNs = 0;
  long wakes = 0;
};
std::map<pid_t, ThreadUse> Threads() {
  std::map<pid_t, ThreadUse> threads;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    const pid_t task = std::stoi(entry.path().filename());
    ThreadUse& use = threads[task];
    std::getline(std::ifstream(entry.path() / "comm"), use.name);
    std::ifstream(entry.path() / "schedstat") >> use.cpuNs;
    use.wakes = Wakeups(task);
  }
  return threads;
}

// CPU seconds of this process's child named comm (0 when not found).
double ChildCpuSeconds(const std::string& comm) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream in(entry.path() / "stat");
    std::string pid, name, state;
    long ppid = 0;
    if (!(in >> pid >> name >> state >> ppid) || name != "(" + comm + ")" || ppid != getpid()) continue;
    std::string skip;
    for (int i = 5; i < 14; ++i) in >> skip;
    double user = 0, system = 0;
    in >> user >> system;
    return (user + system) / double(sysconf(_SC_CLK_TCK));
  }
  return 0;
}

std::string Ns(system_clock::time_point t) { return std::to_string(t.time_since_epoch() / 1ns); }

int Arg(int argc, char** argv, int i, int fallback) { return argc > i ? std::max(1, std::atoi(argv[i])) : fallback; }

// The peers and the logger on its own thread, for M measurements x F fields.
struct Rig {
  TempDir dir{"pemrix-logger-bench"};
  FakeDaq daq;
  InfluxServer influx;
  VESK::DataLogger logger;
  std::atomic<pid_t> loopTask{0};
  std::thread loop;

  bool Start(int measurements, int fields, int devices = 1, int calls = 0) {
    json values, list = json::array();
    for (int m = 0; m < measurements; ++m) {
      json entry = {{"id", "m" + std::to_string(m)}, {"cycle_ms", kCycleMs}};
      for (int f = 0; f < fields; ++f) {
        const std::string tag = "t" + std::to_string(m) + "." + std::to_string(f);
        const std::string device = "dev" + std::to_string(m % devices);
        entry["fields"]["f" + std::to_string(f)] = {{"device_id", device}, {"tag_id", tag}};
        values[device][tag] = 20.0 + f / 8.0;
      }
      list.push_back(entry);
    }
    daq.SetValues(values);
    if (!daq.Start() || !influx.Start()) return std::fprintf(stderr, "influxd or the stand-in did not start\n"), false;
    json cfg = {{"queue", {{"path", "queue"}}},
                {"database",
                 {{"driver", "influxdb"},
                  {"influxdb", {{"host", "127.0.0.1"}, {"port", influx.Port()}, {"database_name", "bench"}}}}},
                {"measurements", list}};
    if (calls > 0) cfg["acquisition"]["calls_in_flight"] = calls;
    WriteFile(dir.File("data_logger.json"), cfg.dump());
    VESK::AppConfig::Instance._daqApi = daq.Endpoint();
    logger.Initial(dir.Path());
    loop = std::thread([this] {
      loopTask = gettid();
      logger.Run();
    });
    std::this_thread::sleep_for(2s);  // database created, first passes done
    return true;
  }
  ~Rig() {
    if (!loop.joinable()) return;
    logger.Stop();
    loop.join();
  }
};

int Rest(int seconds) {
  Rig rig;
  if (!rig.Start(1, 1)) return 1;
  const double cpuStart = CpuSeconds();
  const auto readStart = rig.logger.PointsRead();
  const auto threadsStart = Threads();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double cpuMsPerS = (CpuSeconds() - cpuStart) * 1000 / seconds;
  const auto threadsEnd = Threads();
  const double cycles = std::max<double>(1, rig.logger.PointsRead() - readStart);
  const long loopWakes = threadsEnd.at(rig.loopTask).wakes - threadsStart.at(rig.loopTask).wakes;
  std::printf("at rest  1 measurement x 1 field every %d ms: %.0f cycles in %d s\n", kCycleMs, cycles, seconds);
  std::printf("cpu      %.2f ms per s (target <= 2)\n", cpuMsPerS);
  std::printf("wake-ups loop thread %.2f per cycle (target <= ~2)\n", loopWakes / cycles);
  for (const auto& [task, end] : threadsEnd) {  // the library's own threads carry the program's name
    const auto start = threadsStart.find(task);
    if (start == threadsStart.end() || end.cpuNs == start->second.cpuNs) continue;
    const std::string name = task == rig.loopTask ? "loop" : end.name == "logger_bench" ? "other" : end.name;
    std::printf("  thread %-14s %.2f ms cpu per s, %.2f wake-ups per cycle\n", name.c_str(),
                (end.cpuNs - start->second.cpuNs) / 1e6 / seconds, (end.wakes - start->second.wakes) / cycles);
  }
  // Floor: the logger stopped, only its one call per cycle (the same request
  // on a client of its own) on a timer, without storing anything.
  rig.logger.Stop();
  rig.loop.join();
  VESK::JsonRpcClient client(rig.daq.Endpoint());
  const json params = {{"device_id", "dev0"}, {"parameters", {"t0.0"}}};
  const double floorStart = CpuSeconds();
  const auto floorEnd = steady_clock::now() + std::chrono::seconds(seconds);
  for (auto due = steady_clock::now(); due < floorEnd; due += milliseconds(kCycleMs)) {
    std::this_thread::sleep_until(due);
    json result;
    if (!client.Invoke("ReadParameter", params, result)) return std::fprintf(stderr, "floor call failed\n"), 1;
  }
  std::printf("floor    the call alone on a %d ms timer: %.2f ms per s\n", kCycleMs,
              (CpuSeconds() - floorStart) * 1000 / seconds);
  return cpuMsPerS <= 2 && loopWakes / cycles <= 2.5 ? 0 : 2;
}

int Volume(int measurements, int fields, int seconds, int devices, int calls) {
  Rig rig;
  if (!rig.Start(measurements, fields, devices, calls)) return 1;
  const auto wallStart = system_clock::now();
  // The stand-in's name as the kernel keeps it: cut to 15 characters.
  const double cpuStart = CpuSeconds(), influxdStart = ChildCpuSeconds("influxd"),
               daqStart = ChildCpuSeconds("pemrix_ipc_test");
  const auto readStart = rig.logger.PointsRead();
  const auto skippedStart = rig.logger.CyclesSkipped();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double cpu = CpuSeconds() - cpuStart, influxdCpu = ChildCpuSeconds("influxd") - influxdStart,
               daqCpu = ChildCpuSeconds("pemrix_ipc_test") - daqStart;
  const double read = rig.logger.PointsRead() - readStart;
  const auto skipped = rig.logger.CyclesSkipped() - skippedStart;
  const auto wallEnd = system_clock::now();
  std::this_thread::sleep_for(2s);  // the last batches land

  const json answer =
      json::parse(rig.influx.Query("bench", "SELECT count(f0) FROM /^m[0-9]+$/ WHERE time >= " + Ns(wallStart) +
                                                " AND time < " + Ns(wallEnd)),
                  nullptr, false);
  const double expected = seconds * 1000.0 / kCycleMs;
  const json series = answer.value("/results/0/series"_json_pointer, json::array());
  double worst = int(series.size()) < measurements ? 0 : 1e9, stored = 0;
  for (const auto& s : series) {
    worst = std::min(worst, s["values"][0][1].get<double>() / expected);
    stored += s["values"][0][1].get<double>();
  }

  std::string body;  // the same points as line protocol, one pass per request
  for (int m = 0; m < measurements; ++m) {
    body += "floor ";
    for (int f = 0; f < fields; ++f) body += (f ? ",f" : "f") + std::to_string(f) + "=21.625";
    body += " " + Ns(system_clock::now() + microseconds(m)) + "\n";
  }
  const double floorCpuStart = CpuSeconds();
  const auto floorStart = steady_clock::now();
  long requests = 0;
  while (steady_clock::now() - floorStart < 3s &&
         HttpRequest(rig.influx.Port(), "POST", "/write?db=bench&epoch=ms", body).status == 204)
    ++requests;
  const double floorSeconds = duration<double>(steady_clock::now() - floorStart).count();
  const double floorCpuPerPoint = (CpuSeconds() - floorCpuStart) / std::max(1.0, double(requests) * measurements);
  const double cpuPerPoint = cpu / std::max(1.0, stored);

  std::printf(
      "logger   %d x %d over %d devices, %s calls in flight: read %.0f points/s, stored %.0f points/s = %.0f fields/s "
      "(schedule %.0f points/s)\n",
      measurements, fields, devices, calls > 0 ? std::to_string(calls).c_str() : "default", read / seconds,
      stored / seconds, stored * fields / seconds, measurements * 1000.0 / kCycleMs);
  std::printf("worst    %.1f %% of its schedule stored (%zu of %d measurements seen); %llu cycles skipped\n",
              worst * 100, series.size(), measurements, static_cast<unsigned long long>(skipped));
  std::printf("cpu      logger %.1f us per point (%.2f per field), floor %.1f us per point at %.0f points/s: %.1f x\n",
              cpuPerPoint * 1e6, cpuPerPoint * 1e6 / fields, floorCpuPerPoint * 1e6,
              requests * measurements / floorSeconds, cpuPerPoint / floorCpuPerPoint);
  std::printf("influxd  %.1f us of its CPU per point stored (%.0f %% of a core)\n",
              influxdCpu / std::max(1.0, stored) * 1e6, influxdCpu / seconds * 100);
  std::printf("cores    logger %.0f %%, acquisition stand-in %.0f %%, influxd %.0f %% (of 100 %% per core)\n",
              cpu / seconds * 100, daqCpu / seconds * 100, influxdCpu / seconds * 100);
  return worst >= 0.95 ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  el::Loggers::reconfigureAllLoggers(el::ConfigurationType::Enabled, "false");
  for (auto level : {el::Level::Warning, el::Level::Error})
    el::Loggers::reconfigureAllLoggers(level, el::ConfigurationType::Enabled, "true");
  if (argc > 1 && std::strcmp(argv[1], "rest") == 0) return Rest(Arg(argc, argv, 2, 10));
  if (argc > 1 && std::strcmp(argv[1], "volume") == 0) ++argv, --argc;
  return Volume(Arg(argc, argv, 1, 200), Arg(argc, argv, 2, 10), Arg(argc, argv, 3, 10), Arg(argc, argv, 4, 1),
                argc > 5 ? Arg(argc, argv, 5, 0) : 0);
}
