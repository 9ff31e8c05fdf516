// The update cycle: batched node reads, the connection checks around them,
// the output object, single reads from the tags, and reference parameters.
#include <cstdio>

#include "QuilletHarness.h"

namespace quillet_test {
namespace {

std::string Id(int i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "P%04d", i);
  return buf;
}

TEST_F(DriverTest, NodesAreReadInBatchesOf150) {
  const std::vector<std::pair<int, std::vector<size_t>>> cases = {{0, {}}, {150, {150}}, {301, {150, 150, 1}}};
  for (const auto& [count, batches] : cases) {
    SetUp();
    std::vector<json> params;
    for (int i = 0; i < count; ++i) {
      server->AddNode(2, Id(i), DataValueBase::FromJson(i * 10));
      params.push_back(Param(Id(i), "int32"));
    }
    ProbeAndStart(ProfileDoc(params));
    json values = Update();
    EXPECT_EQ(ReadBatches(), batches) << count << " nodes";
    ASSERT_EQ(values.size(), size_t(count));
    if (count > 0) {
      EXPECT_EQ(values[Id(count - 1)], (count - 1) * 10) << "the last batch lands in its tags";
    }
  }
}

TEST_F(DriverTest, OutputListsEveryTagNullWhileTheChannelIsDown) {
  server->AddNode(2, "A", DataValueBase::FromJson(7));
  server->AddNode(2, "W", DataValueBase::FromJson(0x00FF));
  ProbeAndStart(ProfileDoc(
      {Param("A", "int16"), Param("W", "uint16"), {{"id", "Wlow"}, {"type", "uint8"}, {"reference_id", "W"}}}));
  json out = {{"device", "Filler"}, {"parameters", {{"stale", 1}}}};
  driver->OnPerformUpdating(out);
  EXPECT_EQ(out, json({{"device", "Filler"}, {"parameters", {{"A", 7}, {"W", 255}, {"Wlow", 255}}}}));

  // Down before the update: no reads; single reads answer from the tags.
  server->SetConnected(false);
  server->ClearCalls();
  const json allNull = {{"A", nullptr}, {"W", nullptr}, {"Wlow", nullptr}};
  EXPECT_EQ(Update(), allNull);
  EXPECT_TRUE(ReadBatches().empty());
  EXPECT_EQ(driver->ReadParameter("Wlow"), 255);

  // Connected at the first check, gone at the second: the nodes are read into
  // the tags, yet nothing is reported and references are not refreshed.
  server->SetConnected(true);
  server->SetValue(2, "A", json(8));
  server->SetValue(2, "W", json(0x0102));
  server->QueueConnectionAnswers({true, false});
  EXPECT_EQ(Update(), allNull);
  EXPECT_EQ(driver->ReadParameter("A"), 8);
  EXPECT_EQ(driver->ReadParameter("Wlow"), 255) << "reference left as it was";
  EXPECT_EQ(Update(), json({{"A", 8}, {"W", 258}, {"Wlow", 2}}));
}

json Ref(const std::string& id, const json& type, const std::string& source, int index, int bitOffset = 0) {
  return {{"id", id}, {"type", type}, {"reference_id", source}, {"index", index}, {"bit_offset", bitOffset}};
}

TEST_F(DriverTest, ReferenceOffsetsInBothByteOrders) {
  const std::vector<json> params = {
      Param("S", "int32", {{"array_length", 2}}),
      Param("Words", "uint16", {{"array_length", 4}}),
      Ref("s_hi16", "int16", "S", 1, 16),   // bytes 6..7
      Ref("s_byte", "uint8", "S", 0, 8),    // byte 1
      Ref("s_elem", "int32", "S", 1),       // bytes 4..7
      Ref("w_bit", "bool", "Words", 3, 9),  // byte 7, bit 1
      Ref("w_bit1", "bool", "Words", 1, 1),
  };
  // Element 3 of the word array holds the bit in byte 7: its high byte
  // little-endian (0x0200), its low byte big-endian (0x0002).
  const struct {
    const char* endian;
    int word3, hi16, byte1;
    bool bit1;
  } cases[] = {{"little", 0x0200, 0x5566, 0x33, true}, {"big", 0x0002, 0x7788, 0x22, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.endian);
    SetUp();
    server->AddNode(2, "S", DataValueBase::FromJson(json::array({0x11223344, 0x55667788})));
    server->AddNode(2, "Words", DataValueBase::FromJson(json::array({0, 0x0002, 0, c.word3})));
    ProbeAndStart(ProfileDoc(params), {{"Properties", {{"Endian", c.endian}}}});
    json v = Update();
    EXPECT_EQ(v["s_hi16"], c.hi16);
    EXPECT_EQ(v["s_byte"], c.byte1);
    EXPECT_EQ(v["s_elem"], 0x55667788) << "a whole element reads back in either order";
    EXPECT_EQ(v["w_bit"], true);
    EXPECT_EQ(v["w_bit1"], c.bit1) << "big-endian, bit 1 of byte 2 is bit 9 of element 1";
    EXPECT_EQ(ReadBatches(), std::vector<size_t>{2}) << "references have no nodes";
  }
}

TEST_F(DriverTest, ReferenceBitsOfBooleanArraysAndWords) {
  std::vector<bool> flags(16, false);
  flags[11] = flags[0] = true;
  server->AddNode(2, "Flags", DataValueBase::FromJson(json(flags)));
  server->AddNode(2, "Status", DataValueBase::FromJson(0x8001));
  // Index 11 of a boolean source is byte 1, bit 3; a boolean source ignores
  // bit_offset.
  ProbeAndStart(
      ProfileDoc({Param("Flags", "bool", {{"array_length", 16}}), Param("Status", "uint16"),
                  Ref("f10", "bool", "Flags", 10), Ref("f11", "bool", "Flags", 11), Ref("nib", "bool", "Flags", 11, 5),
                  Ref("s15", "bool", "Status", 0, 15), Ref("s14", "bool", "Status", 0, 14)}));
  EXPECT_EQ(Update(), json({{"Flags", flags},
                            {"Status", 0x8001},
                            {"f10", false},
                            {"f11", true},
                            {"nib", true},
                            {"s14", false},
                            {"s15", true}}));
}

TEST_F(DriverTest, ReferencesOutsideTheirSourceOrWithoutOneAreNull) {
  server->AddNode(2, "Src", DataValueBase::FromJson(json::array({1, 2})));
  server->AddNode(2, "Text", DataValueBase::FromJson("abcdefgh"));
  ProbeAndStart(ProfileDoc({
      Param("Src", "int16", {{"array_length", 2}}),
      Param("Text", "string"),
      Param("Gone", "int16"),                     // not on the server: read as null
      Ref("a_ok", "int16", "Src", 1),             // bytes 2..3
      Ref("b_text", "int16", "Text", 0),          // a string has no offsets
      Ref("c_after", "int16", "Src", 0),          // must not reuse another reference's offsets
      Ref("d_negative", "int16", "Src", -1, 16),  // byte -2 + 2 = 0, still refused
      Ref("e_negbit", "int16", "Src", 1, -8),
      Ref("f_past", "int16", "Src", 2),         // bytes 4..5 of 4
      Ref("g_straddle", "int16", "Src", 1, 8),  // bytes 3..4 of 4
      Ref("h_nullsrc", "int16", "Gone", 0),
      Ref("i_nosource", "int16", "Nobody", 0),
      Ref("j_big", "int16", "Src", 0x7FFFFFFF),
  }));
  EXPECT_EQ(Write("i_nosource", 5), 1);
  EXPECT_EQ(Write("b_text", 5), 1);
  json v = Update();
  EXPECT_EQ(v["a_ok"], 2);
  EXPECT_EQ(v["c_after"], 1);
  EXPECT_EQ(v["i_nosource"], 5) << "a reference to an unknown id keeps its value";
  for (const char* id : {"b_text", "d_negative", "e_negbit", "f_past", "g_straddle", "h_nullsrc", "j_big"})
    EXPECT_EQ(v[id], nullptr) << id;

  // Once the source shows up, the null reference follows it.
  server->AddNode(2, "Gone", DataValueBase::FromJson(-3));
  EXPECT_EQ(Update()["h_nullsrc"], -3);
}

}  // namespace
}  // namespace quillet_test
