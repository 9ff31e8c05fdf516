// The stand-ins' edges: libStrata's typed values and profile loader, and the simulated server's settings.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "LogCapture.h"
#include "plinth/OPCUA_ClientChannelDriver.h"
#include "plinth/SimulatedServer.h"
#include "strata/DataValueBase.h"
#include "strata/Profile.h"

namespace {

using namespace VESK::DAQ;
using json = nlohmann::json;
using Bytes = std::vector<uint8_t>;

// Every type's array image round-trips in both orders; a single value comes from any bit, never past the end.
TEST(DataValue, MemoryImagesRoundTripAndStayInBounds) {
  for (DataType type : {DT_BOOL, DT_INT8, DT_INT16, DT_INT32, DT_INT64, DT_FLOAT, DT_DOUBLE, DT_STRING, DT_DATETIME,
                        DT_UINT8, DT_UINT16, DT_UINT32, DT_UINT64}) {
    auto array = DataValueBase::Create(type, {3}), back = DataValueBase::Create(type, {3});
    ASSERT_TRUE(array->SetJson(json({1, 0, 1})));
    for (EndianType endian : {ENDIAN_LITTLE, ENDIAN_BIG}) {
      Bytes image;
      EXPECT_TRUE(array->SaveToMemory(&image, endian) && back->LoadFromMemory(image, 0, 0, endian));
      EXPECT_EQ(back->ToJson(), array->ToJson()) << DataTypeName(type) << " " << endian;
    }
    Bytes none;
    EXPECT_FALSE(DataValueBase::Create(type)->SaveToMemory(&none, ENDIAN_LITTLE)) << "a null value has no image";
  }
  Bytes stream{0xF0, 0x0A, 0xFF}, text{'a', 'b', 0, 'c'};
  auto u8 = DataValueBase::Create(DT_UINT8), u16 = DataValueBase::Create(DT_UINT16),
       s = DataValueBase::Create(DT_STRING);
  EXPECT_TRUE(u8->LoadFromMemory(stream, 0, 4, ENDIAN_LITTLE));
  EXPECT_EQ(u8->ToJson(), 0xAF);
  EXPECT_TRUE(u16->LoadFromMemory(stream, 1, 0, ENDIAN_BIG));
  EXPECT_EQ(u16->ToJson(), 0x0AFF) << "the last two bytes; past them: null and false";
  for (auto [byteOffset, bitOffset] : std::vector<std::pair<int, int>>{{2, 0}, {1, 1}, {-1, 0}, {0, -1}, {0, 8}}) {
    EXPECT_FALSE(u16->LoadFromMemory(stream, byteOffset, bitOffset, ENDIAN_BIG)) << byteOffset << "/" << bitOffset;
    EXPECT_TRUE(u16->IsNull());
  }
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
    {"id": "A", "type": "uint16", "array_length": 4, "write_mode": 1}, {"id": "A", "type": "string"}, {"type": 1},
    {"id": "M", "type": "float", "dimensions": [2, 3]}, {"id": "C", "type": "word"},
    {"id": "D", "type": 4, "index": "1"}, {"id": "E", "type": 4, "write_mode": 70000}, 7,
    {"id": "W", "type": 4, "dimensions": [65536, 65536]}, {"id": "N", "type": 4, "dimensions": [-2, 3]}]})"));
  ASSERT_NE(profile, nullptr);
  std::list<std::shared_ptr<ProfileParameter>> params;
  profile->QueryParameters(params);
  EXPECT_EQ(params.size(), 3u);
  EXPECT_EQ(log.Count("Profile 'Press' parameter ", "ERROR"), 7);
  EXPECT_EQ(profile->GetParameter("A")->type, DT_UINT16) << "the first of an id";
  EXPECT_EQ(profile->GetParameter("M")->arrayLength, 6) << "the element count of the dimensions";
  EXPECT_EQ(Profile::LoadFromJSON(json::array()), nullptr);
}

TEST(SimulatedServer, UnusableSettingsRefused) {
  for (const json& settings : {json::object(), json{{"simulated_server", 5}}, json{{"simulated_server", "/none.json"}}})
    EXPECT_EQ(OPCUA_ClientChannelDriver::Create(settings), nullptr) << settings.dump();
  for (const char* node :
       {R"({"namespace": 2, "type": "int16"})", R"({"namespace": 70000, "id": "x", "type": "int16"})",
        R"({"id": "x", "type": "string", "generator": {"kind": "ramp"}})",
        R"({"id": "x", "type": "int16", "generator": {"kind": "ramp", "period_ms": 0}})",
        R"({"id": "x", "type": "int16", "generator": {"kind": "counter", "step": 0, "max": 5}})"})
    EXPECT_EQ(SimulatedServer::LoadFromJSON({{"nodes", {json::parse(node)}}}), nullptr) << node;
}

}  // namespace
