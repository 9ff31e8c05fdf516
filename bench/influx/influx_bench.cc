// influx_bench: starts its own influxd, then measures
//   BM_DriverInsert  - InfluxdbDriver::Insert, line formatting + transport
//   BM_RawSocketFloor - the same request bytes over a bare socket loop
// Both make one TCP connection and one HTTP exchange per point.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <iostream>

#include "DBMeasurement.h"
#include "InfluxdbDriver.h"
#include "Servers.h"

namespace {

pemrix::testing::InfluxServer* g_influx = nullptr;
const char* kDatabase = "bench";

std::shared_ptr<VESK::DBMeasurement> Point() {
  auto m = std::make_shared<VESK::DBMeasurement>(nullptr);
  m->LoadFromJSON({{"id", "line 1"},
                   {"cycle_ms", 1000},
                   {"fields",
                    {{"temp", {{"device_id", "d"}, {"tag_id", "t"}}},
                     {"count", {{"device_id", "d"}, {"tag_id", "c"}}},
                     {"state", {{"device_id", "d"}, {"tag_id", "s"}}}}}});
  m->Fields()[0]->Value() = 12345;
  m->Fields()[1]->Value() = "running";
  m->Fields()[2]->Value() = 21.456;
  return m;
}

void BM_DriverInsert(benchmark::State& state) {
  VESK::InfluxdbDriver driver;
  driver.LoadFromJSON({{"host", "127.0.0.1"}, {"port", g_influx->Port()}, {"database_name", kDatabase}});
  driver.CreateDatabase();
  auto m = Point();
  for (auto _ : state) {
    if (!driver.Insert(m)) state.SkipWithError("write refused");
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_RawSocketFloor(benchmark::State& state) {
  std::string line;
  VESK::InfluxdbDriver::FormatLine(*Point(), line);
  const std::string request =
      "POST /write?db=" + std::string(kDatabase) +
      "&u=&p=&epoch=ms HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(line.size()) + "\r\n\r\n" +
      line;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(g_influx->Port()));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  char buf[1024];
  for (auto _ : state) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
              send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    std::string answer;
    while (ok && answer.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      answer.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    if (answer.compare(0, 12, "HTTP/1.1 204") != 0) state.SkipWithError("write refused");
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_DriverInsert)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_RawSocketFloor)->MinTime(3.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  pemrix::testing::InfluxServer influx;
  if (!influx.Start()) {
    std::cerr << "influxd did not start\n";
    return 1;
  }
  g_influx = &influx;
  influx.Execute(std::string("CREATE DATABASE ") + kDatabase);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
