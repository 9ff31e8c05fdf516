// The stand-ins' edges: libStrata's typed values and profile loader, and the
// simulated server's address-space files and generators.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <tuple>

#include "LogCapture.h"
#include "plinth/OPCUA_ClientChannelDriver.h"
#include "plinth/SimulatedServer.h"
#include "strata/DataValueBase.h"
#include "strata/Profile.h"

namespace {

using namespace VESK::DAQ;
using json = nlohmann::json;
using Bytes = std::vector<uint8_t>;

TEST(DataValue, EveryTypeAsArrayRoundTripsThroughMemory) {
  for (DataType type : {DT_BOOL, DT_INT8, DT_INT16, DT_INT32, DT_INT64, DT_FLOAT, DT_DOUBLE, DT_STRING, DT_DATETIME,
                        DT_UINT8, DT_UINT16, DT_UINT32, DT_UINT64}) {
    SCOPED_TRACE(DataTypeName(type));
    Bytes none;
    EXPECT_FALSE(DataValueBase::Create(type)->SaveToMemory(&none, ENDIAN_LITTLE)) << "a null value has no image";
    auto array = DataValueBase::Create(type, {3});
    ASSERT_TRUE(array->SetJson(json({1, 0, 1})));
    for (EndianType endian : {ENDIAN_LITTLE, ENDIAN_BIG}) {
      Bytes image;
      ASSERT_TRUE(array->SaveToMemory(&image, endian));
      auto back = DataValueBase::Create(type, {3});
      EXPECT_TRUE(back->LoadFromMemory(image, 0, 0, endian));
      EXPECT_EQ(back->ToJson(), array->ToJson());
    }
  }
}

TEST(DataValue, MemoryImagesByteOrderBitsAndBounds) {
  Bytes little, packed;
  auto w16 = DataValueBase::Create(DT_INT16);
  w16->SetInt64(0x0102);
  w16->SaveToMemory(&little, ENDIAN_LITTLE);
  EXPECT_EQ(little, (Bytes{0x02, 0x01}));
  // Element i of a boolean array at bit i % 8 of byte i / 8.
  DataValueBase::FromJson(json({true, false, false, true, false, false, false, false, true}))
      ->SaveToMemory(&packed, ENDIAN_BIG);
  EXPECT_EQ(packed, (Bytes{0x09, 0x01}));

  Bytes stream{0xF0, 0x0A, 0xFF};
  auto u8 = DataValueBase::Create(DT_UINT8);
  EXPECT_TRUE(u8->LoadFromMemory(stream, 0, 4, ENDIAN_LITTLE));
  EXPECT_EQ(u8->ToJson(), 0xAF);
  auto u16 = DataValueBase::Create(DT_UINT16);
  EXPECT_TRUE(u16->LoadFromMemory(stream, 1, 0, ENDIAN_BIG));
  EXPECT_EQ(u16->ToJson(), 0x0AFF) << "the last two bytes; past them: null and false";
  for (auto [byteOffset, bitOffset] :
       std::vector<std::pair<int, int>>{{2, 0}, {1, 1}, {-1, 0}, {0, -1}, {0, 8}, {4, 0}}) {
    EXPECT_FALSE(u16->LoadFromMemory(stream, byteOffset, bitOffset, ENDIAN_BIG)) << byteOffset << "/" << bitOffset;
    EXPECT_TRUE(u16->IsNull());
  }
  Bytes text{'a', 'b', 0, 'c'};
  auto s = DataValueBase::Create(DT_STRING);
  EXPECT_TRUE(s->LoadFromMemory(text, 0, 0, ENDIAN_LITTLE));
  EXPECT_EQ(s->ToJson(), "ab") << "to a 0 byte";
  EXPECT_FALSE(s->LoadFromMemory(text, 5, 0, ENDIAN_LITTLE));
}

TEST(DataValue, ElementIndicesShapesAndUnusableInput) {
  auto m = DataValueBase::Create(DT_INT32, {2, 3});
  EXPECT_TRUE(m->SetInt64(7, {1, 2}));
  EXPECT_TRUE(m->SetInt64(5, {4})) << "a single flat index";
  EXPECT_EQ(m->ToJson(), json({{0, 0, 0}, {0, 5, 7}})) << "row-major, nested per dimension";
  for (const std::vector<int>& bad : std::vector<std::vector<int>>{{2, 0}, {0, 0, 0}, {6}, {-1}, {}})
    EXPECT_FALSE(m->SetInt64(1, bad)) << ::testing::PrintToString(bad);
  for (const std::vector<int>& dims : std::vector<std::vector<int>>{{0}, {-2}, {1 << 16, 1 << 16}})
    EXPECT_THROW(DataValueBase::Create(DT_INT16, dims), std::invalid_argument);
  for (const json& bad : {json({{1, 2}, {3}}), json({1, "a"}), json::object(),
                          json::parse(std::string(33, '[') + "1" + std::string(33, ']'))})
    EXPECT_EQ(DataValueBase::FromJson(bad), nullptr) << bad.dump().substr(0, 40);
}

TEST(ProfileLoader, SkipsUnusableEntries) {
  pemrix::testing::LogCapture log;
  auto profile = Profile::LoadFromJSON(json::parse(R"({"name": "Press", "parameters": [
    {"id": "A", "type": "uint16", "array_length": 4, "write_mode": 1},
    {"id": "M", "type": "float", "dimensions": [2, 3]},
    {"id": "A", "type": "string"}, {"type": 1}, {"id": "C", "type": "word"},
    {"id": "D", "type": 4, "index": "1"}, {"id": "E", "type": 4, "write_mode": 70000}, 7
  ]})"));
  ASSERT_NE(profile, nullptr);
  std::list<std::shared_ptr<ProfileParameter>> params;
  profile->QueryParameters(params);
  EXPECT_EQ(params.size(), 3u);
  EXPECT_EQ(log.Count("Profile 'Press' parameter ", "ERROR"), 5);
  EXPECT_EQ(profile->GetParameter("A")->type, DT_UINT16) << "the first of an id";
  EXPECT_EQ(profile->GetParameter("M")->arrayLength, 6) << "the element count of the dimensions";
  EXPECT_EQ(Profile::LoadFromJSON(json::array()), nullptr);
}

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
