// Points per second into a real influxd, one HTTP exchange per point:
// InfluxdbDriver::Insert (formatting and transport) beside a floor of the
// same request bytes sent with the bare-socket test client.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "DBMeasurement.h"
#include "InfluxdbDriver.h"
#include "Servers.h"

namespace {

pemrix::testing::InfluxServer influx;

std::shared_ptr<VESK::DBMeasurement> Point() {
  auto m = std::make_shared<VESK::DBMeasurement>(nullptr);
  m->LoadFromJSON(
      nlohmann::json::parse(R"({"id":"line 1","cycle_ms":1000,"fields":{"temp":{"device_id":"d","tag_id":"t"},
      "count":{"device_id":"d","tag_id":"c"},"state":{"device_id":"d","tag_id":"s"}}})"));
  const nlohmann::json values = {12345, "running", 21.456};  // count, state, temp
  for (std::size_t i = 0; i < values.size(); ++i) m->Fields()[i]->Value() = values[i];
  return m;
}

void BM_DriverInsert(benchmark::State& state) {
  VESK::InfluxdbDriver driver;
  driver.LoadFromJSON({{"host", "127.0.0.1"}, {"port", influx.Port()}, {"database_name", "bench"}});
  auto m = Point();
  for (auto _ : state)
    if (!driver.Insert(m)) state.SkipWithError("write refused");
  state.SetItemsProcessed(state.iterations());
}

void BM_RawSocketFloor(benchmark::State& state) {
  std::string line;
  VESK::InfluxdbDriver::FormatLine(*Point(), line);
  for (auto _ : state)
    if (pemrix::testing::HttpRequest(influx.Port(), "POST", "/write?db=bench&epoch=ms", line).status != 204)
      state.SkipWithError("write refused");
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_DriverInsert)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_RawSocketFloor)->MinTime(3.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!influx.Start() || influx.Execute("CREATE DATABASE bench").status != 200)
    return std::fprintf(stderr, "influxd did not start\n"), 1;
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
