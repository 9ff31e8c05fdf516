// libStrata: typed values (every type code, conversions, memory images) and
// the profile loader. The plug-in's tests cover the everyday conversions and
// profile fields; these cover the edges.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "LogCapture.h"
#include "strata/DataValueBase.h"
#include "strata/Profile.h"

namespace {

using namespace VESK::DAQ;
using json = nlohmann::json;
using Bytes = std::vector<uint8_t>;

TEST(DataValue, EveryTypeAsScalarAndArrayRoundTripsThroughMemory) {
  for (DataType type : {DT_BOOL, DT_INT8, DT_INT16, DT_INT32, DT_INT64, DT_FLOAT, DT_DOUBLE, DT_STRING, DT_DATETIME,
                        DT_UINT8, DT_UINT16, DT_UINT32, DT_UINT64}) {
    SCOPED_TRACE(DataTypeName(type));
    auto scalar = DataValueBase::Create(type);
    EXPECT_EQ(scalar->GetType(), type);
    EXPECT_EQ(scalar->ToJson(), json(nullptr));
    Bytes none;
    EXPECT_FALSE(scalar->SaveToMemory(&none, ENDIAN_LITTLE)) << "a null value has no image";

    auto array = DataValueBase::Create(type, {3});
    ASSERT_TRUE(array->SetJson(json({1, 0, 1})));
    for (EndianType endian : {ENDIAN_LITTLE, ENDIAN_BIG}) {
      Bytes image;
      ASSERT_TRUE(array->SaveToMemory(&image, endian));
      EXPECT_EQ(image.size(), type == DT_BOOL ? 1 : type == DT_STRING ? 6 : size_t(3 * ElementWidth(type)));
      auto back = DataValueBase::Create(type, {3});
      EXPECT_TRUE(back->LoadFromMemory(image, 0, 0, endian));
      EXPECT_EQ(back->ToJson(), array->ToJson());
    }
  }
}

TEST(DataValue, ConversionsSaturateAndParse) {
  auto value = [](DataType type, auto set) {
    auto v = DataValueBase::Create(type);
    set(*v);
    return v->ToJson();
  };
  EXPECT_EQ(value(DT_INT8, [](auto& v) { v.SetDouble(-1e300); }), -128);
  EXPECT_EQ(value(DT_INT8, [](auto& v) { v.SetDouble(std::nan("")); }), 0);
  EXPECT_EQ(value(DT_UINT8, [](auto& v) { v.SetInt64(-5); }), 0);
  EXPECT_EQ(value(DT_UINT8, [](auto& v) { v.SetString("0x10"); }), 0) << "decimal text only";
  EXPECT_EQ(value(DT_INT64, [](auto& v) { v.SetDouble(1e300); }), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(value(DT_STRING, [](auto& v) { v.SetDouble(2.5); }), "2.5");

  auto u64 = DataValueBase::FromJson(json(std::numeric_limits<uint64_t>::max()));
  EXPECT_EQ(u64->GetType(), DT_UINT64);
  EXPECT_EQ(u64->GetInt64(), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(u64->ToJson(), json(std::numeric_limits<uint64_t>::max()));
  auto s = DataValueBase::FromJson("-7.5");
  EXPECT_EQ(s->GetInt64(), -7);
  s->SetString("abc");
  EXPECT_EQ(s->GetInt64(), 0);
}

TEST(DataValue, MemoryImagesByteOrderBitsAndBounds) {
  auto w16 = DataValueBase::Create(DT_INT16);
  w16->CopyFrom(*DataValueBase::FromJson(0x0102));
  Bytes little, big, notEmpty{1};
  w16->SaveToMemory(&little, ENDIAN_LITTLE);
  w16->SaveToMemory(&big, ENDIAN_BIG);
  EXPECT_EQ(little, (Bytes{0x02, 0x01}));
  EXPECT_EQ(big, (Bytes{0x01, 0x02}));
  EXPECT_FALSE(w16->SaveToMemory(&notEmpty, ENDIAN_LITTLE));

  // Boolean arrays pack 8 per byte, element i at bit i % 8 of byte i / 8.
  Bytes packed;
  DataValueBase::FromJson(json({true, false, false, true, false, false, false, false, true}))
      ->SaveToMemory(&packed, ENDIAN_BIG);
  EXPECT_EQ(packed, (Bytes{0x09, 0x01}));

  // A bit offset takes the element from the bit stream starting there.
  Bytes stream{0xF0, 0x0A, 0xFF};
  auto u8 = DataValueBase::Create(DT_UINT8);
  EXPECT_TRUE(u8->LoadFromMemory(stream, 0, 4, ENDIAN_LITTLE));
  EXPECT_EQ(u8->ToJson(), 0xAF);
  auto bits = DataValueBase::Create(DT_BOOL, {4});
  EXPECT_TRUE(bits->LoadFromMemory(stream, 0, 6, ENDIAN_LITTLE));
  EXPECT_EQ(bits->ToJson(), json({true, true, false, true}));

  // Out of bounds: null and false, never a read past the bytes.
  auto u16 = DataValueBase::Create(DT_UINT16);
  EXPECT_TRUE(u16->LoadFromMemory(stream, 1, 0, ENDIAN_BIG));
  EXPECT_EQ(u16->ToJson(), 0x0AFF) << "the last two bytes";
  for (auto [byteOffset, bitOffset] :
       std::vector<std::pair<int, int>>{{2, 0}, {1, 1}, {-1, 0}, {0, -1}, {0, 8}, {4, 0}}) {
    EXPECT_FALSE(u16->LoadFromMemory(stream, byteOffset, bitOffset, ENDIAN_BIG)) << byteOffset << "/" << bitOffset;
    EXPECT_TRUE(u16->IsNull());
  }
  Bytes empty, text{'a', 'b', 0, 'c'};
  EXPECT_FALSE(DataValueBase::Create(DT_BOOL)->LoadFromMemory(empty, 0, 0, ENDIAN_LITTLE));

  // Strings read to a 0 byte or the end.
  auto s = DataValueBase::Create(DT_STRING);
  EXPECT_TRUE(s->LoadFromMemory(text, 0, 0, ENDIAN_LITTLE));
  EXPECT_EQ(s->ToJson(), "ab");
  EXPECT_TRUE(s->LoadFromMemory(text, 3, 0, ENDIAN_LITTLE));
  EXPECT_EQ(s->ToJson(), "c");
  EXPECT_FALSE(s->LoadFromMemory(text, 5, 0, ENDIAN_LITTLE));
}

TEST(DataValue, ElementIndicesShapesAndUnusableInput) {
  auto m = DataValueBase::Create(DT_INT32, {2, 3});
  EXPECT_TRUE(m->SetInt64(7, {1, 2}));
  EXPECT_TRUE(m->SetInt64(5, {4})) << "a single flat index";
  EXPECT_EQ(m->ToJson(), json({{0, 0, 0}, {0, 5, 7}})) << "row-major, nested per dimension";
  for (const std::vector<int>& bad : std::vector<std::vector<int>>{{2, 0}, {0, 0, 0}, {6}, {-1}, {}})
    EXPECT_FALSE(m->SetInt64(1, bad)) << ::testing::PrintToString(bad);

  EXPECT_THROW(DataValueBase::Create(DT_INT16, {0}), std::invalid_argument);
  EXPECT_THROW(DataValueBase::Create(DT_INT16, {-2}), std::invalid_argument);
  EXPECT_THROW(DataValueBase::Create(DT_INT16, {1 << 16, 1 << 16}), std::invalid_argument);
  auto none = DataValueBase::Create(DataType(99));
  EXPECT_EQ(none->GetType(), DT_UNKNOWN);
  EXPECT_FALSE(none->SetInt64(1));
  Bytes bytes{1, 2};
  EXPECT_FALSE(none->LoadFromMemory(bytes, 0, 0, ENDIAN_LITTLE));

  EXPECT_EQ(DataValueBase::FromJson(json({{1, 2}, {3, 4.5}}))->GetDimensions(), (std::vector<int>{2, 2}));
  EXPECT_EQ(DataValueBase::FromJson(json({{1, 2}, {3}})), nullptr) << "ragged";
  EXPECT_EQ(DataValueBase::FromJson(json({1, "a"})), nullptr) << "mixed";
  EXPECT_EQ(DataValueBase::FromJson(json::object()), nullptr);
  EXPECT_EQ(DataValueBase::FromJson(json::parse(std::string(33, '[') + "1" + std::string(33, ']'))), nullptr)
      << "deeper than any device";
  EXPECT_FALSE(DataValueBase::Create(DT_INT16)->CopyFrom(*DataValueBase::Create(DT_INT16))) << "null source";
}

TEST(ProfileLoader, SkipsUnusableEntriesAndFillsDefaults) {
  pemrix::testing::LogCapture log;
  auto profile = Profile::LoadFromJSON(json::parse(R"({"name": "Press", "parameters": [
    {"id": "A", "type": "uint16", "array_length": 4, "write_mode": 1},
    {"id": "B", "type": 1, "reference_id": "A", "index": 3, "bit_offset": 2},
    {"id": "M", "type": "float", "dimensions": [2, 3], "attributes": {"address": {"node_id": "2:M"}}},
    {"id": "A", "type": "string"}, {"type": 1}, {"id": "C", "type": "word"},
    {"id": "D", "type": 4, "index": "1"}, {"id": "E", "type": 4, "write_mode": 70000}, 7
  ]})"));
  ASSERT_NE(profile, nullptr);
  std::list<std::shared_ptr<ProfileParameter>> params;
  profile->QueryParameters(params);
  ASSERT_EQ(params.size(), 4u);
  EXPECT_EQ(log.Count("Profile 'Press' parameter ", "ERROR"), 5);
  EXPECT_EQ(profile->GetParameter("A")->type, DT_UINT16) << "the first of an id";
  EXPECT_EQ(profile->GetParameter("B")->bitOffset, 2);
  EXPECT_EQ(profile->GetParameter("M")->arrayLength, 6) << "the element count of the dimensions";

  EXPECT_EQ(Profile::LoadFromJSON(json::array()), nullptr);
  EXPECT_EQ(Profile::LoadFromFile("/nonexistent/profile.json"), nullptr);
  EXPECT_TRUE(log.Contains("'/nonexistent/profile.json' file does not exist!", "ERROR"));
}

}  // namespace
