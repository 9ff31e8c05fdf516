// libStrata: typed values (every type code, conversions, memory images) and
// the profile loader. The plug-in's tests cover the everyday conversions and
// profile fields; these cover the edges.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "LogCapture.h"
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
  // Boolean arrays pack 8 per byte, element i at bit i % 8 of byte i / 8.
  DataValueBase::FromJson(json({true, false, false, true, false, false, false, false, true}))
      ->SaveToMemory(&packed, ENDIAN_BIG);
  EXPECT_EQ(packed, (Bytes{0x09, 0x01}));

  // A bit offset takes the element from the bit stream starting there.
  Bytes stream{0xF0, 0x0A, 0xFF};
  auto u8 = DataValueBase::Create(DT_UINT8);
  EXPECT_TRUE(u8->LoadFromMemory(stream, 0, 4, ENDIAN_LITTLE));
  EXPECT_EQ(u8->ToJson(), 0xAF);
  // Out of bounds: null and false, never a read past the bytes.
  auto u16 = DataValueBase::Create(DT_UINT16);
  EXPECT_TRUE(u16->LoadFromMemory(stream, 1, 0, ENDIAN_BIG));
  EXPECT_EQ(u16->ToJson(), 0x0AFF) << "the last two bytes";
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

}  // namespace
