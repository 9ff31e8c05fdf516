// One update of 10,000 parameters (2,000 references) and single reads by id, each
// beside a floor of the same run: the channel's reads alone, a bare map lookup.
#include <map>
#include <optional>

#include "DriverBench.h"
#include "plinth/OPCUA_ClientChannelDriver.h"
#include "plinth/SimulatedServer.h"

namespace {

using namespace VESK::DAQ;
using json = nlohmann::json;

constexpr int kParameters = 10000, kReferences = 2000, kNodes = kParameters - kReferences;
const DataType kTypes[] = {DT_UINT16, DT_DOUBLE, DT_INT32, DT_STRING};  // node i: kTypes[i % 4], words as arrays
const json kValues[] = {{1, 2, 3, 4}, 0.5, 7, "text"};

std::string Id(char prefix, int i) { return prefix + std::to_string(10000 + i); }
std::shared_ptr<DataValueBase> Value(int i) {
  return i % 4 ? DataValueBase::Create(kTypes[i % 4]) : DataValueBase::Create(DT_UINT16, {4});
}

struct Fixture {
  std::shared_ptr<SimulatedServer> server = std::make_shared<SimulatedServer>();
  std::shared_ptr<OPCUA_ClientChannelDriver> channel = std::make_shared<OPCUA_ClientChannelDriver>(server);
  json params = json::array();
  std::optional<bench::Driver> driver;
  std::vector<std::string> lookups;  // every fifth a reference
  Fixture() {
    server->SetCallLogLimit(0);
    for (int i = 0; i < kNodes; ++i) {
      params.push_back(bench::Param(Id('N', i), DataTypeName(kTypes[i % 4]), "2:" + Id('N', i)));
      params.back()["array_length"] = i % 4 ? 0 : 4;
      server->AddNode(2, Id('N', i), Value(i));
      server->SetValue(2, Id('N', i), kValues[i % 4]);
    }
    for (int i = 0; i < kReferences; ++i) {
      params.push_back({{"id", Id('R', i)}, {"type", i % 2 ? "bool" : "uint8"}, {"reference_id", Id('N', i / 4 * 4)}});
      params.back().update({{"index", i % 4}, {"bit_offset", i % 2 * (i % 16)}});
    }
    driver.emplace(params, channel, json{{"Properties", {{"Endian", "big"}}}});
    for (int i = 0; i < 1000; ++i) lookups.push_back(i % 5 ? Id('N', i * 7 % kNodes) : Id('R', i % kReferences));
  }
};
Fixture& F() {
  static Fixture fixture;
  return fixture;
}

void BM_OnPerformUpdating(benchmark::State& state) {
  F().driver->Update(state, [](const json& p) { return p.size() == size_t(kParameters); });
}
BENCHMARK(BM_OnPerformUpdating)->Unit(benchmark::kMillisecond);

// Floor: the same 8,000 node reads straight through the channel, in batches of 150.
void BM_Floor_ChannelReads(benchmark::State& state) {
  std::vector<_nodeData> nodes(kNodes);
  for (int i = 0; i < kNodes; ++i) {
    nodes[i].nodeId = {2, UA_NODEIDTYPE_STRING, {}};
    nodes[i].nodeId.identifier.string = UA_String_fromChars(Id('N', i).c_str());
    nodes[i].value = Value(i);
  }
  for (auto _ : state)
    for (int i = 0; i < kNodes; i += 150) {
      std::vector<_nodeData*> batch;
      for (int j = i; j < std::min(i + 150, kNodes); ++j) batch.push_back(&nodes[j]);
      F().channel->ReadNodes(batch, 0);
    }
  for (auto& n : nodes) UA_deleteMembers(&n.nodeId, &UA_TYPES[UA_TYPES_NODEID]);
}
BENCHMARK(BM_Floor_ChannelReads)->Unit(benchmark::kMillisecond);

void BM_ReadParameter(benchmark::State& state) {
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(F().driver->driver->ReadParameter(F().lookups[i++ % 1000]));
}
BENCHMARK(BM_ReadParameter);

// Floor: the same lookups in a map of the 10,000 ids.
void BM_Floor_MapLookup(benchmark::State& state) {
  std::map<std::string, int> map;
  for (const auto& p : F().params) map[p["id"]] = 0;
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(map.find(F().lookups[i++ % 1000]));
}
BENCHMARK(BM_Floor_MapLookup);

}  // namespace

BENCHMARK_MAIN();
