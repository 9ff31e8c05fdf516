// One update over 10,000 parameters (8,000 nodes, 2,000 references) and
// single reads by id, each beside a floor measured in the same run: the
// channel reads alone, and a bare map lookup.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <easylogging++.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "plinth/OPCUA_ClientChannelDriver.h"
#include "plinth/SimulatedServer.h"
#include "strata/IDeviceDriver.h"

namespace {

using namespace VESK::DAQ;
using json = nlohmann::json;

constexpr int kParameters = 10000;
constexpr int kReferences = 2000;
constexpr int kNodes = kParameters - kReferences;

std::string Id(const char* prefix, int i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%s%05d", prefix, i);
  return buf;
}

std::string BinDir() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string exe(path, size_t(n));
  return exe.substr(0, exe.rfind('/'));
}

// The plug-in and one probed, started driver over a server holding every node.
struct Fixture {
  Fixture() {
    handle = dlopen((BinDir() + "/Quillet.drv").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      std::fprintf(stderr, "%s\n", dlerror());
      std::exit(1);
    }
    auto create = reinterpret_cast<CreateDeviceDriverFunc>(dlsym(handle, kCreateDeviceDriverSymbol));
    server = std::make_shared<SimulatedServer>();
    server->SetCallLogLimit(0);  // a long run records nothing
    json params = json::array();
    for (int i = 0; i < kNodes; ++i) {
      // A mix of types; every fourth node a 4-word array the references cut into.
      std::string id = Id("N", i);
      json p = {{"id", id}, {"attributes", {{"address", {{"node_id", "2:" + id}}}}}};
      switch (i % 4) {
        case 0:
          p["type"] = "uint16";
          p["array_length"] = 4;
          server->AddNode(2, id, DataValueBase::Create(DT_UINT16, {4}));
          server->SetValue(2, id, json({i & 0xFFFF, 1, 2, 3}));
          break;
        case 1:
          p["type"] = "double";
          server->AddGeneratedNode(2, id, DT_DOUBLE, {}, {{"kind", "sine"}, {"period_ms", 1000}});
          break;
        case 2:
          p["type"] = "int32";
          server->AddGeneratedNode(2, id, DT_INT32, {}, {{"kind", "counter"}, {"period_ms", 10}});
          break;
        default:
          p["type"] = "string";
          server->AddNode(2, id, DataValueBase::FromJson("text " + id));
      }
      params.push_back(p);
    }
    for (int i = 0; i < kReferences; ++i)  // bits and bytes of the word arrays, several per source
      params.push_back({{"id", Id("R", i)},
                        {"type", i % 2 ? "bool" : "uint8"},
                        {"reference_id", Id("N", (i / 4) * 4 % kNodes)},
                        {"index", i % 4},
                        {"bit_offset", i % 2 ? i % 16 : 0}});
    device = std::make_shared<Device>("Bench", Profile::LoadFromJSON({{"name", "Bench"}, {"parameters", params}}));
    channel = std::make_shared<OPCUA_ClientChannelDriver>(server);
    driver = create();
    json config = {{"Properties", {{"Endian", "big"}}}};
    driver->OnProbe(device.get(), config, channel, nullptr);
    driver->OnStart();
  }
  void* handle = nullptr;
  std::shared_ptr<SimulatedServer> server;
  std::shared_ptr<OPCUA_ClientChannelDriver> channel;
  std::shared_ptr<Device> device;
  std::shared_ptr<IDeviceDriver> driver;
};

Fixture& F() {
  static Fixture* fixture = new Fixture();  // lives to the end of the process, like a loaded plug-in
  return *fixture;
}

void BM_OnPerformUpdating(benchmark::State& state) {
  Fixture& f = F();
  json out;
  for (auto _ : state) {
    f.driver->OnPerformUpdating(out);
    benchmark::DoNotOptimize(out);
  }
  if (out["parameters"].size() != size_t(kParameters)) state.SkipWithError("wrong output size");
}
BENCHMARK(BM_OnPerformUpdating)->Unit(benchmark::kMillisecond);

// Floor: the same 8,000 node reads straight through the channel.
void BM_Floor_ChannelReads(benchmark::State& state) {
  Fixture& f = F();
  std::vector<std::unique_ptr<_nodeData, void (*)(_nodeData*)>> nodes;
  for (int i = 0; i < kNodes; ++i) {
    nodes.emplace_back(new _nodeData{}, [](_nodeData* n) {
      UA_deleteMembers(&n->nodeId, &UA_TYPES[UA_TYPES_NODEID]);
      delete n;
    });
    std::string id = Id("N", i);
    nodes.back()->nodeId.namespaceIndex = 2;
    nodes.back()->nodeId.identifierType = UA_NODEIDTYPE_STRING;
    nodes.back()->nodeId.identifier.string = UA_String_fromChars(id.c_str());
    nodes.back()->value = i % 4 == 0   ? DataValueBase::Create(DT_UINT16, {4})
                          : i % 4 == 1 ? DataValueBase::Create(DT_DOUBLE)
                          : i % 4 == 2 ? DataValueBase::Create(DT_INT32)
                                       : DataValueBase::Create(DT_STRING);
  }
  for (auto _ : state) {
    std::vector<_nodeData*> batch;
    for (auto& n : nodes) {
      batch.push_back(n.get());
      if (batch.size() == 150) {
        f.channel->ReadNodes(batch);
        batch.clear();
      }
    }
    if (!batch.empty()) f.channel->ReadNodes(batch);
  }
}
BENCHMARK(BM_Floor_ChannelReads)->Unit(benchmark::kMillisecond);

void BM_ReadParameter(benchmark::State& state) {
  Fixture& f = F();
  std::vector<std::string> ids;
  for (int i = 0; i < 1000; ++i) ids.push_back(i % 5 ? Id("N", i * 7 % kNodes) : Id("R", i % kReferences));
  size_t i = 0;
  for (auto _ : state) {
    json v = f.driver->ReadParameter(ids[i++ % ids.size()]);
    benchmark::DoNotOptimize(v);
  }
}
BENCHMARK(BM_ReadParameter);

// Floor: one lookup in a map of 10,000 string keys.
void BM_Floor_MapLookup(benchmark::State& state) {
  std::map<std::string, int> map;
  for (int i = 0; i < kParameters; ++i) map[Id("N", i)] = i;
  std::vector<std::string> ids;
  for (int i = 0; i < 1000; ++i) ids.push_back(Id("N", i * 7 % kParameters));
  size_t i = 0;
  for (auto _ : state) {
    auto it = map.find(ids[i++ % ids.size()]);
    benchmark::DoNotOptimize(it);
  }
}
BENCHMARK(BM_Floor_MapLookup);

}  // namespace

int main(int argc, char** argv) {
  // The plug-in's log lines would only measure the terminal.
  el::Loggers::reconfigureAllLoggers(el::ConfigurationType::Enabled, "false");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
