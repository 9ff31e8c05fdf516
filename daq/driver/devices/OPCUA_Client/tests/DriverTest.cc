// Quillet.drv opened and driven only through IDeviceDriver, as the acquisition service does.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include "LogCapture.h"
#include "TestSupport.h"
#include "plinth/OPCUA_ClientChannelDriver.h"
#include "plinth/SimulatedServer.h"
#include "strata/IDeviceDriver.h"

namespace {

using namespace VESK::DAQ;
using namespace pemrix::testing;
using json = nlohmann::json;

void* Plugin() {
  static void* handle = dlopen(BinPath("Quillet.drv").c_str(), RTLD_NOW | RTLD_LOCAL);
  return handle;
}

// A parameter addressed at namespace 2 by its own id.
json Param(const std::string& id, const json& type, const json& extra = json::object()) {
  json p = {{"id", id}, {"type", type}, {"attributes", {{"address", {{"node_id", "2:" + id}}}}}};
  p.update(extra);
  return p;
}

json Ref(const std::string& id, const char* type, const std::string& source, int index, int bitOffset = 0) {
  return {{"id", id}, {"type", type}, {"reference_id", source}, {"index", index}, {"bit_offset", bitOffset}};
}

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(Plugin(), nullptr) << dlerror();
    server = std::make_shared<SimulatedServer>();
    channel = std::make_shared<OPCUA_ClientChannelDriver>(server);
    driver = reinterpret_cast<CreateDeviceDriverFunc>(dlsym(Plugin(), kCreateDeviceDriverSymbol))();
  }
  void Probe(const std::vector<json>& params, json config = json::object(), bool start = true) {
    device = std::make_shared<Device>("Filler", Profile::LoadFromJSON({{"name", "Filler"}, {"parameters", params}}));
    driver->OnProbe(device.get(), config, channel, std::make_shared<WorkLogProxy>("Filler"));
    if (start) driver->OnStart();
  }
  json Update() {
    json out;
    driver->OnPerformUpdating(out);
    return out["parameters"];
  }
  // Node counts of the server's calls of one kind.
  std::vector<size_t> Calls(SimulatedServer::Call::Kind kind) const {
    std::vector<size_t> sizes;
    for (const auto& call : server->Calls())
      if (call.kind == kind) sizes.push_back(call.nodes.size());
    return sizes;
  }
  int Write(const std::string& id, const json& value, const std::vector<int>& indices = {}) {
    return driver->WriteParameter(id, DataValueBase::FromJson(value), indices);
  }

  std::shared_ptr<SimulatedServer> server;
  std::shared_ptr<OPCUA_ClientChannelDriver> channel;
  std::shared_ptr<Device> device;  // outlives the driver, which only points at it
  std::shared_ptr<IDeviceDriver> driver;
};
const auto kRead = SimulatedServer::Call::Read, kWrite = SimulatedServer::Call::Write;

std::set<std::string> DynamicSymbols(const std::string& file, const char* which) {
  const std::string command = std::string("nm -D --demangle --format=just-symbols ") + which + " '" + file + "'";
  std::set<std::string> names;
  std::unique_ptr<FILE, int (*)(FILE*)> nm(popen(command.c_str(), "r"), pclose);
  char line[8192];
  while (nm && fgets(line, sizeof line, nm.get()))
    names.insert(std::string(line).substr(0, std::string(line).find_first_of("@\n")));
  return names;
}

// Importing more than the core guarantees would not load on the real core.
TEST(QuilletLoad, ImportsFromTheCoreOnlyWhatItGuarantees) {
  ASSERT_NE(Plugin(), nullptr) << dlerror();
  EXPECT_EQ(dlsym(Plugin(), "NodeStringParse"), nullptr);
  auto parse = reinterpret_cast<void (*)(const std::string&, int&, std::string&)>(
      dlsym(Plugin(), "_Z15NodeStringParseRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERiRS4_"));
  ASSERT_NE(parse, nullptr);
  int ns = 0;
  std::string id;
  parse("  -1x:Line1.Speed:raw", ns, id);  // like stoi
  EXPECT_EQ(std::make_pair(ns, id), std::make_pair(-1, std::string("Line1.Speed:raw")));
  EXPECT_THROW(parse("99999999999:x", ns, id), std::out_of_range);

  const std::regex contract(
      R"(VESK::DAQ::(Profile::(QueryParameters|GetParameter)|IDeviceDriver::~IDeviceDriver|DataValueBase::()"
      R"(Create|LoadFromMemory|GetType|IsNull|IsArray|SetNull|GetArraySize|ToJson|SaveToMemory|)"
      R"((Get|Set)(Bool|Int64|Double|String)(Array)?))\(.*)"
      R"(|(vtable|typeinfo|typeinfo name) for VESK::DAQ::(IDeviceDriver|IChannelDriver|DataValueBase))");
  const auto core = DynamicSymbols(BinPath("libStrata.so"), "--defined-only");
  ASSERT_TRUE(core.count("VESK::DAQ::DataValueBase::Create(VESK::DAQ::DataType)")) << "nm lists the core's symbols";
  for (const std::string& symbol : DynamicSymbols(BinPath("Quillet.drv"), "--undefined-only"))
    EXPECT_TRUE(!core.count(symbol) || std::regex_match(symbol, contract)) << "imports " << symbol;
}

// Low byte of 0x0102: 2 little-endian; after a "big" probe, an ignored setting leaves 1 (ERROR logged, tags built).
TEST_F(DriverTest, ProbeSettingsAndWronglyTypedValues) {
  server->AddNode(2, "W", DataValueBase::FromJson(0x0102));
  auto lowByte = [&](const json& config) {
    Probe({Param("W", "uint16"), {{"id", "R"}, {"type", "uint8"}, {"reference_id", "W"}}}, config, false);
    driver->OnStop();
    driver->OnStart();
    return Update()["R"];
  };
  EXPECT_EQ(lowByte(json::object()), 2) << "little-endian by default";
  LogCapture log;
  const std::tuple<json, int, int> cases[] = {
      {{{"Properties", {{"Endian", "little"}}}}, 2, 0},
      {{{"Properties", {{"Endian", "LITTLE"}}}}, 1, 1},
      {{{"Properties", {{"BulkReadSize", true}, {"Endian", "little"}}}}, 2, 1},
      {{{"Properties", {{"BulkReadSize", 7.9}}}}, 1, 1},
      {{{"Properties", {{"Endian", 5}}}}, 1, 1},
      {json::array(), 1, 1},
  };
  for (const auto& [config, low, errors] : cases) {
    lowByte({{"Properties", {{"Endian", "big"}}}});
    log.Clear();
    EXPECT_EQ(lowByte(config), low) << config.dump();
    EXPECT_EQ(log.Count("", "ERROR"), errors) << config.dump();
  }
}

// A channel of another class counts as none: no crash, tags still built.
TEST_F(DriverTest, ChannelOfAnotherClassOrNoneStillBuildsTags) {
  channel = nullptr;
  Probe({Param("A", "int16")});
  EXPECT_FALSE(driver->IsConnect());
  EXPECT_EQ(Update(), json({{"A", nullptr}}));
  EXPECT_EQ(Write("A", 3), 1) << "memory writes need no channel";
  driver->OnPerformRequest();
}

TEST_F(DriverTest, NodeAddressesBecomeNodeIdentifiers) {
  LogCapture log;
  auto at = [](const std::string& id, const json& node, const char* browse = nullptr) {
    json p = {{"id", id}, {"type", "int16"}, {"attributes", {{"address", {{"node_id", node}}}}}};
    if (browse) p["attributes"]["address"]["browse_path"] = browse;
    return p;
  };
  Probe({at("a_both", "3:N", "4:B"), at("b_browse", nullptr, "4:B"), at("d_empty", "2:"), at("e_wide", "65538:Big"),
         at("f_colons", " +7:a:b"), at("g_letter", "Line1.Speed"), at("i_number", 5), at("a_both", "9:Dup"),
         Param("j_ref", "int16", {{"reference_id", "a_both"}})});
  Update();
  // Ascending ids, the first of an id, browse paths unresolved, a 16-bit namespace.
  ASSERT_EQ(server->Calls().size(), 1u);
  EXPECT_EQ(server->Calls()[0].nodes, (std::vector<std::string>{"3:N", "4:", "2:", "2:Big", "7:a:b"}));
  EXPECT_EQ(driver->ReadParameter("g_letter"), json(false)) << "no tag";
  EXPECT_EQ(log.Count("Id = g_letter Exception : node_id 'Line1.Speed' is not <namespace number>:", "ERROR"), 1);
  EXPECT_EQ(driver->ReadParameter("j_ref"), json(nullptr)) << "a reference ignores its address";
}

TEST_F(DriverTest, NodesAreReadInBatchesOf150) {
  for (const auto& [count, batches] :
       std::vector<std::pair<int, std::vector<size_t>>>{{0, {}}, {150, {150}}, {301, {150, 150, 1}}}) {
    SetUp();
    std::vector<json> params;
    for (int i = 0; i < count; ++i) {
      const std::string id = "P" + std::to_string(1000 + i);
      server->AddNode(2, id, DataValueBase::FromJson(i * 10));
      params.push_back(Param(id, "int32"));
    }
    Probe(params);
    json values = Update();
    EXPECT_EQ(Calls(kRead), batches) << count << " nodes";
    ASSERT_EQ(values.size(), size_t(count));
    if (count == 0) continue;
    EXPECT_EQ(values.back(), (count - 1) * 10) << "the last batch lands in its tags";
  }
}

TEST_F(DriverTest, OutputListsEveryTagNullWhileTheChannelIsDown) {
  server->AddNode(2, "A", DataValueBase::FromJson(7));
  server->AddNode(2, "W", DataValueBase::FromJson(0x00FF));
  Probe({Param("A", "int16"), Param("W", "uint16"), {{"id", "Wlow"}, {"type", "uint8"}, {"reference_id", "W"}}});
  json out = {{"device", "Filler"}, {"parameters", {{"stale", 1}}}};
  driver->OnPerformUpdating(out);
  EXPECT_EQ(out, json({{"device", "Filler"}, {"parameters", {{"A", 7}, {"W", 255}, {"Wlow", 255}}}}));

  // Down before the update: no reads, and no value from before the outage for single reads either.
  server->SetConnected(false);
  server->ClearCalls();
  const json allNull = {{"A", nullptr}, {"W", nullptr}, {"Wlow", nullptr}};
  EXPECT_EQ(Update(), allNull);
  EXPECT_TRUE(Calls(kRead).empty());
  EXPECT_EQ(driver->ReadParameter("Wlow"), json(nullptr));
  EXPECT_EQ(driver->ReadParameter("A"), json(nullptr));

  // Up at the first check, gone at the second: read into the tags, yet reported null.
  server->SetConnected(true);
  server->SetValue(2, "A", json(8));
  server->SetValue(2, "W", json(0x0102));
  server->QueueConnectionAnswers({true, false});
  EXPECT_EQ(Update(), allNull);
  EXPECT_EQ(driver->ReadParameter("A"), 8);
  EXPECT_EQ(driver->ReadParameter("Wlow"), json(nullptr)) << "a reference not cut out afresh";
  EXPECT_EQ(Update(), json({{"A", 8}, {"W", 258}, {"Wlow", 2}}));
}

// Reference, little- and big-endian value; outside the source's bytes or offsets: null, never another's bytes.
TEST_F(DriverTest, ReferenceOffsetsBitsAndBoundsInBothByteOrders) {
  const json null;
  const std::tuple<json, json, json> rows[] = {
      {Ref("s_hi16", "int16", "S", 1, 16), 0x5566, 0x7788},  // bytes 6..7
      {Ref("s_byte", "uint8", "S", 0, 8), 0x33, 0x22},
      {Ref("s_elem", "int32", "S", 1), 0x55667788, 0x55667788},
      {Ref("w_bit", "bool", "Words", 3, 9), true, false},  // byte 7 bit 1, of 0x0200
      {Ref("w_bit1", "bool", "Words", 1, 1), true, false},
      {Ref("s15", "bool", "Status", 0, 15), true, false},
      {Ref("f11", "bool", "Flags", 11), true, true},     // byte 1, bit 3
      {Ref("nib", "bool", "Flags", 11, 5), true, true},  // a boolean source ignores bit_offset
      {Ref("a_ok", "int16", "Src", 1), 2, 2},
      {Ref("b_text", "int16", "Text", 0), null, null},
      {Ref("c_after", "int16", "Src", 0), 1, 1},
      {Ref("d_negative", "int16", "Src", -1, 16), null, null},
      {Ref("e_negbit", "int16", "Src", 1, -8), null, null},
      {Ref("f_past", "int16", "Src", 2), null, null},
      {Ref("g_straddle", "int16", "Src", 1, 8), null, null},
      {Ref("h_nullsrc", "int16", "Gone", 0), null, null},
      {Ref("i_nosource", "int16", "Nobody", 0), 5, 5},  // keeps what was written
      {Ref("j_big", "int16", "Src", 0x7FFFFFFF), null, null},
  };
  std::vector<bool> flags(16, false);
  flags[0] = flags[11] = true;
  const std::tuple<const char*, const char*, int, json> sources[] = {{"S", "int32", 2, {0x11223344, 0x55667788}},
                                                                     {"Words", "uint16", 4, {0, 0x0002, 0, 0x0200}},
                                                                     {"Status", "uint16", 0, 0x8001},
                                                                     {"Flags", "bool", 16, flags},
                                                                     {"Src", "int16", 2, {1, 2}},
                                                                     {"Text", "string", 0, "abcdefgh"},
                                                                     {"Gone", "int16", 0, nullptr}};
  std::vector<json> params;
  for (const auto& [id, type, length, value] : sources) params.push_back(Param(id, type, {{"array_length", length}}));
  for (const auto& [r, le, be] : rows) params.push_back(r);
  for (const char* endian : {"little", "big"}) {
    SCOPED_TRACE(endian);
    SetUp();
    for (const auto& [id, type, length, value] : sources)
      if (!value.is_null()) server->AddNode(2, id, DataValueBase::FromJson(value));
    Probe(params, {{"Properties", {{"Endian", endian}}}});
    EXPECT_EQ(Write("i_nosource", 5), 1);
    EXPECT_EQ(Write("b_text", 5), 1);
    driver->OnPerformRequest();
    json v = Update();
    for (const auto& [r, le, be] : rows) EXPECT_EQ(v[r["id"].get<std::string>()], *endian == 'l' ? le : be) << r;
    EXPECT_EQ(Calls(kRead), std::vector<size_t>{7}) << "references have no nodes";
  }
  server->AddNode(2, "Gone", DataValueBase::FromJson(-3));
  EXPECT_EQ(Update()["h_nullsrc"], -3) << "a null reference follows its source once it shows up";
}

TEST_F(DriverTest, MemoryWritesStoreIntoTheTag) {
  Probe({Param("Arr", "int16", {{"array_length", 4}}), Param("S", "double")}, json::object(), false);
  EXPECT_EQ(Write("Arr", 7, {2}), 1);
  EXPECT_EQ(Write("Arr", 70000, {3}), 1);
  EXPECT_EQ(driver->ReadParameter("Arr"), json(nullptr)) << "stored by the host's next OnPerformRequest";
  driver->OnPerformRequest();
  EXPECT_EQ(driver->ReadParameter("Arr"), json({0, 0, 7, 32767})) << "converted, saturated";
  EXPECT_EQ(Write("Arr", json({1, 2.9, 3}), {1}), 1) << "an array replaces the whole value";
  EXPECT_EQ(driver->WriteParameter("S", DataValueBase::FromJson("2.5")), 0) << "the two-argument form answers 0";
  driver->OnPerformRequest();
  EXPECT_EQ(driver->ReadParameter("Arr"), json({1, 2, 3}));
  EXPECT_EQ(driver->ReadParameter("S"), 2.5) << "yet stores";
  EXPECT_TRUE(server->Calls().empty()) << "memory writes never reach the device";
}

TEST_F(DriverTest, UnusableWritesAreRefusedInBothModes) {
  for (int mode : {0, 1}) {
    SetUp();
    std::vector<json> params = {Param("S", "double"), Param("Vec", "int16", {{"array_length", 4}}),
                                Param("Stamp", "datetime"), Param("Odd", 99)};
    for (auto& p : params) p["write_mode"] = mode;
    Probe(params);
    const std::tuple<const char*, json, std::vector<int>> refused[] = {
        {"Vec", 9, {4}}, {"Vec", 9, {-1}},         {"S", 1, {0}}, {"Stamp", 1700000000000, {}}, {"Odd", 1, {}},
        {"Nope", 1, {}}, {"S", json::array(), {}},
    };
    for (const auto& [id, value, indices] : refused)
      EXPECT_EQ(Write(id, value, indices), 0) << "mode " << mode << " " << id << " " << value.dump();
    EXPECT_EQ(driver->WriteParameter("S", nullptr, {}), 0);
    EXPECT_EQ(driver->WriteParameter("S", DataValueBase::Create(DT_DOUBLE), {}), 0);
    driver->OnPerformRequest();
    EXPECT_TRUE(server->Calls().empty());
    EXPECT_EQ(driver->ReadParameter("S"), json(nullptr));
  }
}

// WriteParameter from other threads while the host updates and drains, as the contract allows: memory and device
// writes alike never touch what the update fills (ThreadSanitizer watches this one).
TEST_F(DriverTest, WritesFromOtherThreadsDuringUpdatesDoNotRace) {
  server->AddNode(2, "Speed", DataValueBase::Create(DT_INT16));
  server->AddNode(2, "Mem", DataValueBase::FromJson(json({1, 2, 3, 4})));
  Probe({Param("Speed", "int16", {{"write_mode", 1}}), Param("Mem", "int16", {{"array_length", 4}}),
         Ref("Bit", "bool", "Mem", 3)});
  std::atomic<int> running{2};
  std::vector<std::thread> writers;
  for (int t = 0; t < 2; ++t)
    writers.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i)
        EXPECT_TRUE(Write("Mem", i, {t}) == 1 && Write("Mem", json({i, i, i, i})) == 1 && Write("Speed", i) == 1);
      --running;
    });
  for (int cycles = 0; running > 0 || cycles < 3; ++cycles) {
    Update();
    driver->OnPerformRequest();
  }
  for (auto& w : writers) w.join();
  driver->OnPerformRequest();
  EXPECT_EQ(server->GetJson(2, "Speed"), 299);
}

class DeviceWriteTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    server->AddNode(2, "Speed", DataValueBase::Create(DT_INT16));
    server->AddNode(2, "Vec", DataValueBase::Create(DT_INT16, {4}));
    server->SetValue(2, "Vec", json({0, 0, 0, 0}));
    Probe({Param("Speed", "int16", {{"write_mode", 1}}),
           Param("Vec", "int16", {{"array_length", 4}, {"write_mode", 1}})});
    // What the node holds after each write call.
    server->SetWriteHook([this] { seen.push_back(server->GetJson(2, "Speed")); });
  }
  std::vector<json> seen;
};

TEST_F(DeviceWriteTest, ConvertedQueuedWrittenInOrderOrDiscardedWhileDown) {
  for (const json& v : {json(3.7), json("12"), json(true)}) EXPECT_EQ(Write("Speed", v), 1);
  EXPECT_EQ(driver->WriteParameter("Speed", DataValueBase::FromJson(40000)), 0) << "queued, answers 0";
  EXPECT_TRUE(server->Calls().empty()) << "nothing before the drain";
  driver->OnPerformRequest();
  EXPECT_EQ(seen, (std::vector<json>{3, 12, 1, 32767}));
  EXPECT_EQ(Calls(kWrite), std::vector<size_t>(4, 1)) << "one node per call";

  server->SetConnected(false);  // still reachable: CheckConnection reconnects
  EXPECT_EQ(Write("Speed", 5), 1);
  driver->OnPerformRequest();
  EXPECT_EQ(server->GetJson(2, "Speed"), 5);
  server->SetConnected(false);
  server->SetReachable(false);
  EXPECT_EQ(Write("Speed", 6), 1);
  LogCapture log;
  driver->OnPerformRequest();
  EXPECT_EQ(log.Count("channel is down, 1 writes discarded", "ERROR"), 1);
  server->SetConnected(true);
  driver->OnPerformRequest();
  EXPECT_EQ(Calls(kWrite).size(), 5u) << "discarded while both queries are false, and gone for good";
  EXPECT_EQ(server->GetJson(2, "Speed"), 5);

  EXPECT_EQ(Write("Vec", 9.2, {2}), 1);
  driver->OnPerformRequest();
  EXPECT_EQ(server->Calls().back().indices, std::vector<std::vector<int>>{{2}});
  EXPECT_EQ(Update()["Vec"], json({0, 0, 9, 0})) << "read back through the update";
}

TEST_F(DeviceWriteTest, FailedWriteCallDoesNotRepeatEarlierWrites) {
  for (int v : {1, 2, 3, 4}) EXPECT_EQ(Write("Speed", v), 1);
  server->ThrowOnWriteCall(2);
  EXPECT_THROW(driver->OnPerformRequest(), std::runtime_error);
  EXPECT_EQ(seen, std::vector<json>{1});
  driver->OnPerformRequest();  // the lock was released; the rest goes out once
  driver->OnPerformRequest();
  EXPECT_EQ(seen, (std::vector<json>{1, 3, 4}));
  EXPECT_EQ(Calls(kWrite).size(), 4u) << "1, the failed 2, then 3 and 4";
}

TEST_F(DeviceWriteTest, WriteFromAnotherThreadWaitsForTheDrain) {
  std::atomic<bool> started{false}, done{false};
  std::thread writer;
  server->SetWriteHook([&] {
    seen.push_back(server->GetJson(2, "Speed"));
    if (started.exchange(true)) return;
    writer = std::thread([&] {
      EXPECT_EQ(Write("Speed", 9), 1);
      done = true;
    });
    EXPECT_FALSE(WaitUntil([&] { return done.load(); }, 200ms)) << "must wait for the running drain";
  });
  for (int v : {1, 2}) EXPECT_EQ(Write("Speed", v), 1);
  driver->OnPerformRequest();
  EXPECT_TRUE(WaitUntil([&] { return done.load(); }, 5s));
  writer.join();
  EXPECT_EQ(seen, (std::vector<json>{1, 2}));
  driver->OnPerformRequest();
  driver->OnPerformRequest();
  EXPECT_EQ(seen, (std::vector<json>{1, 2, 9})) << "written by the next drain, once";
}

}  // namespace
