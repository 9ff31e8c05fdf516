// One update of 1,000 tags read from a real OPC UA server through the
// plug-in and the channel driver, beside a floor measured in the same run:
// the client alone reading the same 1,000 nodes in the same batches of 150,
// without the plug-in and without conversion into tag values.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <easylogging++.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "UaTestServer.h"
#include "plinth/OPCUA_ClientChannelDriver.h"
#include "plinth/UaTcpSession.h"
#include "strata/IDeviceDriver.h"

namespace {

using namespace VESK::DAQ;
using json = nlohmann::json;

constexpr int kTags = 1000;

std::string BinDir() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string exe(path, size_t(n));
  return exe.substr(0, exe.rfind('/'));
}

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "%s\n", why.c_str());
  std::exit(1);
}

struct Fixture {
  Fixture() : server({0, 0, false, kTags}) {
    if (!server.Start()) Fail("OPC UA test server did not start:\n" + server.Output());
    handle = dlopen((BinDir() + "/Quillet.drv").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) Fail(dlerror());
    auto create = reinterpret_cast<CreateDeviceDriverFunc>(dlsym(handle, kCreateDeviceDriverSymbol));
    json params = json::array();
    for (int i = 0; i < kTags; ++i) {
      std::string node = "1:Bulk." + std::to_string(i);
      params.push_back(
          {{"id", "B" + std::to_string(i)}, {"type", "uint32"}, {"attributes", {{"address", {{"node_id", node}}}}}});
    }
    device = std::make_shared<Device>("Bench", Profile::LoadFromJSON({{"name", "Bench"}, {"parameters", params}}));
    channel = OPCUA_ClientChannelDriver::Create({{"endpoint", server.Endpoint()}});
    if (!channel || !channel->CheckConnection()) Fail("channel did not connect");
    driver = create();
    json config = json::object();
    driver->OnProbe(device.get(), config, channel, nullptr);
    driver->OnStart();

    UaTcpSession::Settings settings;
    settings.endpoint = server.Endpoint();
    raw = std::make_unique<UaTcpSession>(settings);
    if (!raw->Reconnect()) Fail("raw session did not connect");
    for (int i = 0; i < kTags; ++i) ids.push_back(ua::NodeId::Str(1, "Bulk." + std::to_string(i)));
  }
  pemrix::testing::UaTestServer server;
  void* handle = nullptr;
  std::shared_ptr<OPCUA_ClientChannelDriver> channel;
  std::shared_ptr<Device> device;
  std::shared_ptr<IDeviceDriver> driver;
  std::unique_ptr<UaTcpSession> raw;
  std::vector<ua::NodeId> ids;
};

Fixture* g_fixture = nullptr;  // lives to the end of the process, like a loaded plug-in

Fixture& F() {
  if (!g_fixture) g_fixture = new Fixture();
  return *g_fixture;
}

void BM_OnPerformUpdating(benchmark::State& state) {
  Fixture& f = F();
  json out;
  for (auto _ : state) {
    f.driver->OnPerformUpdating(out);
    benchmark::DoNotOptimize(out);
  }
  if (out["parameters"]["B999"] != 999) state.SkipWithError("wrong value read");
}
BENCHMARK(BM_OnPerformUpdating)->Unit(benchmark::kMillisecond);

// Floor: the same nodes, batches of 150, by the client alone.
void BM_Floor_RawRead(benchmark::State& state) {
  Fixture& f = F();
  std::vector<ua::DataValue> values;
  bool ok = true;
  for (auto _ : state) {
    for (size_t i = 0; i < f.ids.size(); i += 150) {
      std::vector<ua::NodeId> batch(f.ids.begin() + long(i), f.ids.begin() + long(std::min(i + 150, f.ids.size())));
      ok = f.raw->ReadValues(batch, values) && ok;
      benchmark::DoNotOptimize(values);
    }
  }
  if (!ok) state.SkipWithError("raw read failed");
}
BENCHMARK(BM_Floor_RawRead)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  el::Loggers::reconfigureAllLoggers(el::ConfigurationType::Enabled, "false");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_fixture) g_fixture->server.Kill();  // the plug-in stays loaded; the server must not outlive us
  return 0;
}
