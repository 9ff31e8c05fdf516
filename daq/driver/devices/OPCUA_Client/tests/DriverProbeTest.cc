// Loading the plug-in, the probe configuration, and the tags built from the
// profile and their node addresses.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <set>

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
  // Only the factory has C linkage; the node-string parser is a C++ function.
  EXPECT_EQ(dlsym(handle, "NodeStringParse"), nullptr);
  ASSERT_NE(dlsym(handle, kNodeStringParseSymbol), nullptr);
  {
    auto a = create(), b = create();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a.get(), b.get());
    EXPECT_FALSE(a->IsConnect());  // no channel before the probe
    EXPECT_EQ(a->WriteParameter("x", DataValueBase::FromJson(1), {}), 0);
  }
  EXPECT_EQ(dlclose(handle), 0);
}

// Dynamic symbols of a file as nm lists them, demangled, without versions.
std::set<std::string> DynamicSymbols(const std::string& file, const char* which) {
  const std::string command = std::string("nm -D --demangle --format=just-symbols ") + which + " '" + file + "'";
  std::set<std::string> names;
  std::unique_ptr<FILE, int (*)(FILE*)> nm(popen(command.c_str(), "r"), pclose);
  char line[8192];
  while (nm && fgets(line, sizeof line, nm.get())) names.insert(std::string(line).substr(0, strcspn(line, "@\n")));
  return names;
}

// A plug-in that imports from the acquisition core anything beyond what the
// core guarantees would not load on the real one.
TEST(QuilletLoad, ImportsFromTheCoreOnlyWhatItGuarantees) {
  const std::regex contract(
      R"(VESK::DAQ::(Profile::(QueryParameters|GetParameter)|IDeviceDriver::~IDeviceDriver|DataValueBase::()"
      R"(Create|LoadFromMemory|GetType|IsNull|IsArray|SetNull|GetArraySize|ToJson|SaveToMemory|)"
      R"((Get|Set)(Bool|Int64|Double|String)(Array)?))\(.*)"
      // implementing the driver, receiving the channel, calling value operations
      R"(|(vtable|typeinfo|typeinfo name) for VESK::DAQ::(IDeviceDriver|IChannelDriver|DataValueBase))");
  const auto core = DynamicSymbols(pemrix::testing::BinPath("libStrata.so"), "--defined-only");
  ASSERT_TRUE(core.count("VESK::DAQ::DataValueBase::Create(VESK::DAQ::DataType)")) << "nm lists the core's symbols";
  for (const std::string& symbol : DynamicSymbols(pemrix::testing::BinPath("Quillet.drv"), "--undefined-only"))
    EXPECT_TRUE(!core.count(symbol) || std::regex_match(symbol, contract)) << "imports " << symbol;
}

// The byte order shows in a reference to the low byte of a 16-bit source
// (0x0102): 2 little-endian, 1 big-endian. Each probe follows one with
// "big", so a setting that is ignored leaves 1.
TEST_F(DriverTest, ProbeSettingsDefaultsAndWronglyTypedValues) {
  server->AddNode(2, "W", DataValueBase::FromJson(0x0102));
  json probed;
  auto lowByte = [&](const json& config) {
    probed = Probe(ProfileDoc({Param("W", "uint16"), {{"id", "R"}, {"type", "uint8"}, {"reference_id", "W"}}}), config);
    driver->OnStop();
    driver->OnStart();
    return Update()["R"];
  };
  EXPECT_EQ(lowByte(json::object()), 2) << "little-endian by default";
  EXPECT_EQ(probed, json({{"Properties", nullptr}})) << "the lookup adds the absent key";

  LogCapture log;
  const struct {
    json properties;
    int lowByte;
    int errors;  // ERROR lines naming the key; that setting kept, tags still built
  } cases[] = {
      {{{"Endian", "little"}}, 2, 0},
      {{{"BulkReadSize", 20.0}}, 1, 0},  // an absent Endian leaves the order
      {{{"Endian", "LITTLE"}}, 1, 1},    // not one of "big", "little": the order stays
      {{{"BulkReadSize", true}, {"Endian", "little"}}, 2, 1},
      {{{"BulkReadSize", 7.9}}, 1, 1},
      {{{"Endian", 5}}, 1, 1},
      {{{"BulkReadSize", "100"}}, 1, 1},
      {{{"BulkReadSize", json::array({1})}}, 1, 1},
      {{{"BulkReadSize", 1e300}, {"Bulk", 1}}, 1, 1},
  };
  for (const auto& c : cases) {
    lowByte({{"Properties", {{"Endian", "big"}}}});
    log.Clear();
    EXPECT_EQ(lowByte({{"Properties", c.properties}}), c.lowByte) << c.properties.dump();
    EXPECT_EQ(log.Count("'device 'Filler' probe configuration' : Properties.", "ERROR"), c.errors)
        << c.properties.dump();
  }
  EXPECT_EQ(log.Count("probe configuration' : unknown keys Properties.Bulk", "WARNING"), 1);
  lowByte({{"Properties", {{"Endian", "little"}}}});
  log.Clear();
  EXPECT_EQ(lowByte(json::array()), 2) << "a configuration that is no object keeps the settings";
  EXPECT_EQ(log.Count("driver probe : configuration must be an object", "ERROR"), 1);
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
  Probe(ProfileDoc({Param("Dup", "int32"), Param("C", "double")}));
  EXPECT_EQ(driver->ReadParameter("Dup"), 41);
  EXPECT_EQ(driver->ReadParameter("C"), json(nullptr));
}

TEST_F(DriverTest, NodeAddressesBecomeNodeIdentifiers) {
  LogCapture log;
  auto at = [](const std::string& id, const json& address) {
    return json{{"id", id}, {"type", "int16"}, {"attributes", {{"address", address}}}};
  };
  ProbeAndStart(ProfileDoc({
      at("a_both", {{"node_id", "3:N"}, {"browse_path", "4:B"}}),
      at("b_browse", {{"node_id", nullptr}, {"browse_path", "4:B"}}),
      {{"id", "c_none"}, {"type", "int16"}},
      at("d_empty", {{"node_id", "2:"}}),
      at("e_wide", {{"node_id", "65538:Big"}}),
      at("f_colons", {{"node_id", " +7:a:b"}}),
      at("g_letter", {{"node_id", "Line1.Speed"}}),
      at("h_shape", "2:x"),
      at("i_number", {{"node_id", 5}}),
      {{"id", "j_ref"}, {"type", "int16"}, {"reference_id", "a_both"}, {"attributes", {{"address", "ignored"}}}},
  }));
  Update();
  // Ascending id order; browse paths are not resolved (empty identifier);
  // the namespace is 16 bits wide.
  ASSERT_EQ(server->Calls().size(), 1u);
  EXPECT_EQ(server->Calls()[0].nodes, (std::vector<std::string>{"3:N", "4:", "0:", "2:", "2:Big", "7:a:b"}));
  EXPECT_EQ(log.Count("Create Parameter Failed! : Id = g_letter Exception : stoi", "INFO"), 1);
  EXPECT_EQ(log.Count("Create Parameter Failed! : Id = h_shape Exception : ", "INFO"), 1);
  EXPECT_EQ(log.Count("Create Parameter Failed! : Id = i_number Exception : ", "INFO"), 1);
  EXPECT_EQ(driver->ReadParameter("g_letter"), json(false)) << "no tag";
  EXPECT_EQ(driver->ReadParameter("j_ref"), json(nullptr)) << "a reference ignores its address";
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
  EXPECT_THROW(parse("x:1", ns, id), std::invalid_argument);
  EXPECT_THROW(parse("99999999999:x", ns, id), std::out_of_range);
  EXPECT_EQ(id, "Line1.Speed:raw");
}

}  // namespace
}  // namespace quillet_test
