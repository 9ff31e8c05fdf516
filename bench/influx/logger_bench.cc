// logger_bench: the whole data logger at volume. 200 measurements x 10
// fields every 100 ms for 10 s (2,000 points/s, 20,000 field reads/s) against
// a real influxd and a fast scripted acquisition peer (a child process, so
// its CPU is not the logger's). Reports, per measurement, the share of its
// schedule that reached the database, points/s, fields/s and the logger's
// CPU per point; beside them the floor of the same run: the same points,
// 200 lines per request, posted over bare sockets as fast as they go.
//   logger_bench [seconds]
#include <arpa/inet.h>
#include <easylogging++.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <thread>

#include "AppConfig.h"
#include "DBMeasurement.h"
#include "DataLogger.h"
#include "InfluxdbDriver.h"
#include "JsonRpcServer.h"
#include "Servers.h"

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kMeasurements = 200, kFields = 10, kCycleMs = 100;

// Answers every tag at once with a number that changes per call.
class FastPeer : public VESK::JsonRpcStub {
 public:
  bool Invoke(json& request, json& response) override {
    json values = json::object();
    for (const auto& tag : request["params"]["parameters"]) values[tag.get<std::string>()] = 20.0 + (++_n % 100) / 8.0;
    response = {{"jsonrpc", "2.0"}, {"id", request["id"]}, {"result", {{"values", values}}}};
    return true;
  }

 private:
  long _n = 0;
};

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

json Project() {
  json measurements = json::array();
  for (int m = 0; m < kMeasurements; ++m) {
    json fields = json::object();
    for (int f = 0; f < kFields; ++f)
      fields["f" + std::to_string(f)] = {{"device_id", "dev" + std::to_string(m % 4)},
                                         {"tag_id", "t" + std::to_string(f)}};
    measurements.push_back({{"id", "m" + std::to_string(m)}, {"cycle_ms", kCycleMs}, {"fields", fields}});
  }
  return {{"measurements", measurements}, {"queue", {{"path", "queue"}}}};
}

// One HTTP exchange on a fresh connection; true for a 204 answer.
bool RawPost(int port, const std::string& request) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  for (std::size_t sent = 0; ok && sent < request.size();) {
    const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    ok = n > 0;
    sent += ok ? static_cast<std::size_t>(n) : 0;
  }
  std::string answer;
  char buf[1024];
  while (ok && answer.find("\r\n\r\n") == std::string::npos) {
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    answer.append(buf, static_cast<std::size_t>(n));
  }
  close(fd);
  return answer.compare(0, 12, "HTTP/1.1 204") == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  pemrix::testing::TempDir dir{"pemrix-logger-bench"};
  const std::string endpoint = dir.Ipc("daq");
  el::Loggers::reconfigureAllLoggers(el::ConfigurationType::Enabled, "false");
  const pid_t peer = fork();  // before any thread exists
  if (peer == 0) {
    VESK::JsonRpcServer server(endpoint);
    server.Add(std::make_shared<FastPeer>());
    server.Run();
    _exit(0);
  }
  pemrix::testing::InfluxServer influx;
  if (peer < 0 || !influx.Start()) {
    std::fprintf(stderr, "influxd or the acquisition peer did not start\n");
    return 1;
  }
  json cfg = Project();
  cfg["database"] = {{"driver", "influxdb"},
                     {"influxdb", {{"host", "127.0.0.1"}, {"port", influx.Port()}, {"database_name", "bench"}}}};
  pemrix::testing::WriteFile(dir.File("data_logger.json"), cfg.dump());
  VESK::AppConfig::Instance._daqApi = endpoint;

  VESK::DataLogger logger;
  logger.Initial(dir.Path());
  std::thread loop([&] { logger.Run(); });
  std::this_thread::sleep_for(std::chrono::seconds(1));  // database created, first passes done
  const auto wallStart = std::chrono::system_clock::now();
  const double cpuStart = CpuSeconds();
  const auto readStart = logger.PointsRead();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double cpu = CpuSeconds() - cpuStart;
  const auto read = logger.PointsRead() - readStart;
  const auto wallEnd = std::chrono::system_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the last batches land
  logger.Stop();
  loop.join();
  kill(peer, SIGKILL);
  waitpid(peer, nullptr, 0);

  auto ns = [](std::chrono::system_clock::time_point t) {
    return std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
  };
  const json answer =
      json::parse(influx.Query("bench", "SELECT count(f0) FROM /^m[0-9]+$/ WHERE time >= " + ns(wallStart) +
                                            " AND time < " + ns(wallEnd)),
                  nullptr, false);
  const double expected = seconds * 1000.0 / kCycleMs;
  double worst = 1e9, stored = 0;
  int series = 0;
  for (const auto& s : answer.value(json::json_pointer("/results/0/series"), json::array())) {
    const double n = s["values"][0][1].get<double>();
    worst = std::min(worst, n / expected);
    stored += n;
    ++series;
  }
  if (series < kMeasurements) worst = 0;

  // The floor: the same points as line protocol, one pass (200 lines) per
  // request, posted back to back over bare sockets.
  VESK::DBMeasurement sample(nullptr);
  json fields = json::object();
  for (int f = 0; f < kFields; ++f) fields["f" + std::to_string(f)] = {{"device_id", "d"}, {"tag_id", "t"}};
  sample.LoadFromJSON({{"id", "floor"}, {"cycle_ms", kCycleMs}, {"fields", fields}});
  for (auto& f : sample.Fields()) f->Value() = 21.625;
  std::string body;
  for (int m = 0; m < kMeasurements; ++m) {
    sample.SetTimestamp(std::chrono::system_clock::now() + std::chrono::microseconds(m));
    if (m) body += '\n';
    VESK::InfluxdbDriver::FormatLine(sample, body);
  }
  const std::string request = "POST /write?db=bench&u=&p=&epoch=ms HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\n\r\n" + body;
  const double floorCpuStart = CpuSeconds();
  const auto floorStart = Clock::now();
  long requests = 0;
  while (Clock::now() - floorStart < std::chrono::seconds(3) && RawPost(influx.Port(), request)) ++requests;
  const double floorSeconds = std::chrono::duration<double>(Clock::now() - floorStart).count();
  const double floorCpu = CpuSeconds() - floorCpuStart;
  const double floorPoints = double(requests) * kMeasurements;

  std::printf("schedule            %d measurements x %d fields every %d ms for %d s = %.0f points/s\n", kMeasurements,
              kFields, kCycleMs, seconds, kMeasurements * 1000.0 / kCycleMs);
  std::printf("logger              read %.0f points/s, stored %.0f points/s = %.0f fields/s\n", read / double(seconds),
              stored / seconds, stored * kFields / seconds);
  std::printf("worst measurement   %.1f %% of its schedule stored (%d of %d measurements seen)\n", worst * 100, series,
              kMeasurements);
  std::printf("logger CPU          %.1f us per point (%.1f %% of one core)\n", cpu / std::max(1.0, stored) * 1e6,
              cpu / seconds * 100);
  std::printf("raw-socket floor    %.0f points/s, %.1f us CPU per point\n", floorPoints / floorSeconds,
              floorCpu / std::max(1.0, floorPoints) * 1e6);
  std::printf("ratio               logger CPU per point = %.1f x floor\n",
              (cpu / std::max(1.0, stored)) / (floorCpu / std::max(1.0, floorPoints)));
  return worst >= 0.95 ? 0 : 2;
}
