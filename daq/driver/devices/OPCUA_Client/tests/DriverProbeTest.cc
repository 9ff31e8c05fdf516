// Loading the plug-in, the probe configuration, and the tags built from the
// profile and their node addresses.
#include <dlfcn.h>

#include "LogCapture.h"
#include "QuilletHarness.h"
#include "TestSupport.h"

namespace quillet_test {
namespace {

using pemrix::testing::LogCapture;

TEST(QuilletLoad, OpensWithRtldNowAndMakesIndependentDrivers) {
  // A fresh handle of its own, closed again, as a host that unloads plug-ins does.
  void* handle = dlopen(pemrix::testing::BinPath("Quillet.drv").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  auto create = reinterpret_cast<CreateDeviceDriverFunc>(dlsym(handle, kCreateDeviceDriverSymbol));
  ASSERT_NE(create, nullptr);
  ASSERT_NE(dlsym(handle, "NodeStringParse"), nullptr);
  {
    auto a = create();
    auto b = create();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a.get(), b.get());
    EXPECT_FALSE(a->IsConnect());  // no channel before the probe
    EXPECT_EQ(a->GetStatus(), 0);
    EXPECT_EQ(a->ReadParameter("x"), json(false));
    EXPECT_EQ(a->WriteParameter("x", DataValueBase::FromJson(1), {}), 0);
  }
  EXPECT_EQ(dlclose(handle), 0);
}

// The byte order shows in a reference: the low byte of a 16-bit source.
class ProbeTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    server->AddNode(2, "W", DataValueBase::FromJson(0x0102));
  }
  json LowByte(json config) {
    probed = Probe(ProfileDoc({Param("W", "uint16"), {{"id", "R"}, {"type", "uint8"}, {"reference_id", "W"}}}), config);
    driver->OnStop();
    driver->OnStart();
    return Update()["R"];
  }
  json probed;  // the configuration as the last probe left it
};

TEST_F(ProbeTest, EndianSettingAndDefaults) {
  EXPECT_EQ(LowByte(json::object()), 2) << "little-endian by default";
  EXPECT_EQ(probed, json({{"Properties", nullptr}})) << "the lookup adds the absent key";
  EXPECT_EQ(LowByte({{"Properties", {{"Endian", "big"}}}}), 1);
  EXPECT_EQ(LowByte({{"Properties", {{"Endian", "LITTLE"}}}}), 1) << "other letter case leaves the order";
  EXPECT_EQ(LowByte({{"Properties", {{"BulkReadSize", 20}}}}), 1) << "an absent Endian leaves the order";
  EXPECT_EQ(LowByte({{"Properties", {{"Endian", "little"}}}}), 2);
}

TEST_F(ProbeTest, WronglyTypedSettingsAreLoggedAndTagsStillBuilt) {
  LowByte({{"Properties", {{"Endian", "big"}}}});
  LogCapture log;
  const std::vector<json> bad = {
      {{"Properties", {{"Endian", 5}}}},
      {{"Properties", {{"BulkReadSize", "100"}}}},
      {{"Properties", {{"BulkReadSize", json::object()}}}},
      {{"Properties", {{"BulkReadSize", json::array({1})}}}},
      {{"Properties", {{"BulkReadSize", 1e300}}}},
  };
  for (size_t i = 0; i < bad.size(); ++i) {
    log.Clear();
    EXPECT_EQ(LowByte(bad[i]), 1) << bad[i].dump() << ": settings unchanged, tags built and read";
    EXPECT_EQ(log.Count("Device 'Filler' driver probe exception : ", "ERROR"), 1) << bad[i].dump();
  }
  log.Clear();
  EXPECT_EQ(LowByte({{"Properties", {{"BulkReadSize", true}, {"Endian", "little"}}}}), 2);
  EXPECT_EQ(LowByte({{"Properties", {{"BulkReadSize", 7.9}}}}), 2) << "booleans and floats convert";
  EXPECT_EQ(LowByte(json::array()), 2) << "a configuration that is no object";
  EXPECT_EQ(log.Count("driver probe exception", "ERROR"), 1);
}

TEST_F(DriverTest, ChannelOfAnotherClassOrNoneStillBuildsTags) {
  struct OtherChannel : IChannelDriver {
    bool IsChannelConnected() override { return true; }
    bool CheckConnection() override { return true; }
  };
  LogCapture log;
  device = std::make_shared<Device>("Press", VESK::DAQ::Profile::LoadFromJSON(ProfileDoc({Param("A", "int16")})));
  json config = json::object();
  driver->OnProbe(device.get(), config, std::make_shared<OtherChannel>(), nullptr);
  EXPECT_EQ(log.Count("Device 'Press' channel driver is null ", "ERROR"), 1);
  driver->OnProbe(device.get(), config, nullptr, nullptr);
  EXPECT_EQ(log.Count("Device 'Press' channel driver is null ", "ERROR"), 2);
  EXPECT_FALSE(driver->IsConnect());
  driver->OnStart();
  EXPECT_EQ(Update(), json({{"A", nullptr}}));
  EXPECT_EQ(Write("A", 3), 1) << "memory writes need no channel";
  driver->OnPerformRequest();  // nothing queued, no channel: no crash
}

TEST_F(DriverTest, OneTagPerParameterIdFirstWins) {
  ProbeAndStart(ProfileDoc({Param("Dup", "int32"), Param("Dup", "string"), Param("B", "bool")}));
  EXPECT_EQ(Update(), json({{"B", nullptr}, {"Dup", nullptr}})) << "nodes unknown to the server read as null";
  EXPECT_EQ(ReadBatches(), std::vector<size_t>{2});
  EXPECT_EQ(Write("Dup", "41"), 1);
  EXPECT_EQ(driver->ReadParameter("Dup"), 41) << "the int32 tag, not the string one";

  // A second probe keeps the known tags and adds new ids.
  device = std::make_shared<Device>(
      "Filler",
      VESK::DAQ::Profile::LoadFromJSON(ProfileDoc({Param("Dup", "int32"), Param("B", "bool"), Param("C", "double")})));
  json config = json::object();
  driver->OnProbe(device.get(), config, channel, nullptr);
  EXPECT_EQ(driver->ReadParameter("Dup"), 41);
  EXPECT_EQ(driver->ReadParameter("C"), json(nullptr));
}

TEST_F(DriverTest, NodeAddressesBecomeNodeIdentifiers) {
  LogCapture log;
  ProbeAndStart(ProfileDoc({
      {{"id", "a_both"},
       {"type", "int16"},
       {"attributes", {{"address", {{"node_id", "3:N"}, {"browse_path", "4:B"}}}}}},
      {{"id", "b_browse"},
       {"type", "int16"},
       {"attributes", {{"address", {{"node_id", nullptr}, {"browse_path", "4:B"}}}}}},
      {{"id", "c_none"}, {"type", "int16"}},
      {{"id", "d_empty"}, {"type", "int16"}, {"attributes", {{"address", {{"node_id", "2:"}}}}}},
      {{"id", "e_wide"}, {"type", "int16"}, {"attributes", {{"address", {{"node_id", "65538:Big"}}}}}},
      {{"id", "f_colons"}, {"type", "int16"}, {"attributes", {{"address", {{"node_id", " +7:a:b"}}}}}},
      {{"id", "g_letter"}, {"type", "int16"}, {"attributes", {{"address", {{"node_id", "Line1.Speed"}}}}}},
      {{"id", "h_shape"}, {"type", "int16"}, {"attributes", {{"address", "2:x"}}}},
      {{"id", "i_number"}, {"type", "int16"}, {"attributes", {{"address", {{"node_id", 5}}}}}},
      {{"id", "j_ref"}, {"type", "int16"}, {"reference_id", "a_both"}, {"attributes", {{"address", "ignored"}}}},
  }));
  Update();
  auto calls = server->Calls();
  ASSERT_EQ(calls.size(), 1u);
  // Ascending id order; browse paths are not resolved (empty identifier).
  EXPECT_EQ(calls[0].nodes, (std::vector<std::string>{"3:N", "4:", "0:", "2:", "2:Big", "7:a:b"}));
  EXPECT_EQ(log.Count("Create Parameter Failed! : Id = g_letter Exception : stoi", "INFO"), 1);
  EXPECT_EQ(log.Count("Create Parameter Failed! : Id = h_shape Exception : ", "INFO"), 1);
  EXPECT_EQ(log.Count("Create Parameter Failed! : Id = i_number Exception : ", "INFO"), 1);
  EXPECT_EQ(driver->ReadParameter("g_letter"), json(false)) << "no tag";
  EXPECT_EQ(driver->ReadParameter("j_ref"), json(nullptr)) << "a reference ignores its address";

  driver->OnStart();  // again without OnStop: every node listed twice
  server->ClearCalls();
  Update();
  EXPECT_EQ(ReadBatches(), std::vector<size_t>{12});
}

TEST(QuilletNodeString, ParsesLikeStoiAndKeepsIdentifierWithoutColon) {
  auto parse = LoadPlugin().nodeStringParse;
  ASSERT_NE(parse, nullptr);
  int ns = -5;
  std::string id = "keep";
  parse("3", ns, id);
  EXPECT_EQ(ns, 3);
  EXPECT_EQ(id, "keep");
  parse("  -1x:Line1.Speed:raw", ns, id);
  EXPECT_EQ(ns, -1);
  EXPECT_EQ(id, "Line1.Speed:raw");
  try {
    parse("x:1", ns, id);
    ADD_FAILURE() << "no digits must throw";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "stoi");
  }
  EXPECT_THROW(parse("99999999999:x", ns, id), std::out_of_range);
  EXPECT_EQ(id, "Line1.Speed:raw");
}

}  // namespace
}  // namespace quillet_test
