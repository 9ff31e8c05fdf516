// Plinth: the simulated server's address-space files and generators (the
// acquisition stand-in's test loads one through a channel file).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <tuple>

#include "plinth/OPCUA_ClientChannelDriver.h"
#include "plinth/SimulatedServer.h"

namespace {

using namespace VESK::DAQ;
using json = nlohmann::json;

const char* kAddressSpace = R"({
  "nodes": [
    {"namespace": 3, "id": "Count", "type": "uint32", "generator": {"kind": "counter", "start": 5, "step": 2, "max": 9, "period_ms": 100}},
    {"namespace": 3, "id": "Level", "type": "float", "generator": {"kind": "ramp", "min": 0, "max": 100, "period_ms": 1000}},
    {"namespace": 3, "id": "Wave", "type": 7, "generator": {"kind": "sine", "amplitude": 5, "offset": 10, "period_ms": 2000}},
    {"namespace": 3, "id": "Pattern", "type": "uint16", "dimensions": [2], "generator": {"kind": "bits", "patterns": [1, 3, 7], "period_ms": 500}},
    {"namespace": 3, "id": "Walk", "type": "uint8", "generator": {"kind": "bits", "width": 3, "period_ms": 10}}
  ]})";

TEST(SimulatedServer, UnusableSettingsRefused) {
  for (const json& settings : {json::object(), json{{"simulated_server", 5}}, json{{"simulated_server", "/none.json"}}})
    EXPECT_EQ(OPCUA_ClientChannelDriver::Create(settings), nullptr) << settings.dump();
  for (const char* text : {
           R"({"nodes": [{"namespace": 2, "type": "int16"}]})",
           R"({"nodes": [{"namespace": 70000, "id": "x", "type": "int16"}]})",
           R"({"nodes": [{"id": "x", "type": "string", "generator": {"kind": "ramp"}}]})",
           R"({"nodes": [{"id": "x", "type": "int16", "generator": {"kind": "ramp", "period_ms": 0}}]})",
           R"({"nodes": [{"id": "x", "type": "int16", "generator": {"kind": "counter", "step": 0, "max": 5}}]})",
       })
    EXPECT_EQ(SimulatedServer::LoadFromJSON(json::parse(text)), nullptr) << text;
}

TEST(SimulatedServer, GeneratorsFollowTheClock) {
  auto server = SimulatedServer::LoadFromJSON(json::parse(kAddressSpace));
  ASSERT_NE(server, nullptr);
  auto t0 = SimulatedServer::Clock::now();
  auto now = t0;
  server->SetClock([&now] { return now; });
  auto at = [&](int ms, const char* id) {
    now = t0 + std::chrono::milliseconds(ms);
    return server->GetJson(3, id);
  };
  // The first reading fixes the epoch; the counter wraps past max.
  const std::vector<std::tuple<int, const char*, json>> expected = {
      {0, "Count", 5},           {150, "Count", 7},   {250, "Count", 9},      {350, "Count", 5},
      {250, "Level", 25},        {1750, "Level", 75}, {0, "Pattern", {1, 1}}, {1200, "Pattern", {7, 7}},
      {1600, "Pattern", {1, 1}}, {0, "Walk", 1},      {25, "Walk", 4},        {35, "Walk", 1}};
  for (const auto& [ms, id, value] : expected) EXPECT_EQ(at(ms, id), value) << id << " at " << ms;
  EXPECT_NEAR(at(500, "Wave").get<double>(), 15.0, 1e-9);
  EXPECT_NEAR(at(1500, "Wave").get<double>(), 5.0, 1e-9);

  // A write stops the generator: the node keeps what was written.
  EXPECT_TRUE(server->SetValue(3, "Count", json(42)));
  EXPECT_EQ(at(10000, "Count"), 42);
}

}  // namespace
