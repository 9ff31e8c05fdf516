// The OPC UA client against a real server, driven the way the data logger
// drives it: pemrix-daqsvc with Quillet.drv, reached over JSON-RPC.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>

#include "DaqTestPeer.h"
#include "UaTestServer.h"

using namespace pemrix::testing;
using json = nlohmann::json;

namespace {

// Profile type and the values the server holds, as ReadParameter answers them.
struct TypeCase {
  const char* node;  // server type name
  const char* type;  // profile type name
  json scalar, array;
};
const TypeCase kTypes[] = {
    {"Boolean", "bool", true, {true, false, true, true}},
    {"SByte", "int8", -128, {-1, 0, 1, 127}},
    {"Byte", "uint8", 255, {0, 1, 128, 255}},
    {"Int16", "int16", -32768, {-2, 0, 2, 32767}},
    {"UInt16", "uint16", 65535, {0, 1, 2, 65535}},
    {"Int32", "int32", -2147483648LL, {-5, 0, 5, 2147483647}},
    {"UInt32", "uint32", 4294967295LL, {0, 1, 2, 4294967295LL}},
    {"Int64", "int64", INT64_MIN, {-2, 0, 3, INT64_MAX}},
    {"UInt64", "uint64", UINT64_MAX, {0u, 1u, 4294967296u, UINT64_MAX}},
    {"Float", "float", 0.5, {-1.5, 0.0, 0.25, 3e38}},
    {"Double", "double", -1234.5678, {1e-300, -0.5, 0.0, 1.7976931348623157e308}},
    {"String", "string", "Grüße, Welt", {"a", "", "ü", "line\nbreak"}},
    {"DateTime", "datetime", 1704164645678LL, {0, 1924991999999LL, 86400000, 1}},
};
constexpr int kBulk = 160;

json Parameter(const std::string& id, const std::string& type, const std::string& node, int arrayLength = 0,
               int writeMode = 0) {
  return {{"id", id},
          {"type", type},
          {"array_length", arrayLength},
          {"write_mode", writeMode},
          {"attributes", {{"address", {{"node_id", node}}}}}};
}

json Profile() {
  json p = json::array();
  for (const auto& t : kTypes) {
    p.push_back(Parameter(std::string("S_") + t.node, t.type, std::string("1:Scalar.") + t.node));
    p.push_back(Parameter(std::string("A_") + t.node, t.type, std::string("1:Array.") + t.node, 4, 1));
  }
  p.push_back(Parameter("SetPoint", "double", "1:SetPoint", 0, 1));
  p.push_back(Parameter("Broken", "double", "1:Broken"));
  p.push_back(Parameter("Missing", "double", "1:NoSuchNode"));
  p.push_back(Parameter("Speed", "double", "1:/Plant/Line1/Speed"));  // a browse path
  p.push_back(Parameter("ReadLimit", "uint32", "0:i=11705"));         // a numeric node id
  for (int i = 0; i < kBulk; ++i)
    p.push_back(Parameter("B" + std::to_string(i), "uint32", "1:Bulk." + std::to_string(i)));
  return {{"name", "plant"}, {"parameters", p}};
}

std::vector<std::string> Ids(const json& profile) {
  std::vector<std::string> ids;
  for (const auto& p : profile["parameters"]) ids.push_back(p["id"]);
  return ids;
}

class UaChannelTest : public ::testing::Test {
 protected:
  // Two servers, started side by side (each takes seconds): one that
  // advertises its limits, one that hides them and refuses larger batches.
  static void SetUpTestSuite() {
    open = new UaTestServer({40, 10, false, kBulk});
    hidden = new UaTestServer({40, 10, true, kBulk, 2000});  // closes idle connections after 2 s
    ASSERT_TRUE(open->Launch() && hidden->Launch());
    ASSERT_TRUE(open->Ready()) << open->Output();
    ASSERT_TRUE(hidden->Ready()) << hidden->Output();
  }
  static void TearDownTestSuite() {
    delete open;
    delete hidden;
  }

  void SetUp() override {
    WriteFile(dir.File("log.conf"), "* GLOBAL:\n   FORMAT = \"%datetime %level %msg\"\n   FILENAME = \"" +
                                        dir.File("daqsvc.log") +
                                        "\"\n   TO_FILE = true\n   TO_STANDARD_OUTPUT = false\n");
    WriteFile(dir.File("plant.profile.json"), Profile().dump());
  }

  std::unique_ptr<Process> Launch(const json& channel, int cycleMs = 100) {
    json device = {{"id", "plant"}, {"driver", "Quillet.drv"}, {"profile", "plant.profile.json"}, {"channel", channel}};
    json config = {{"daq_api", api}, {"daq_event", dir.Ipc("daq.event")}, {"cycle_ms", cycleMs}, {"devices", {device}}};
    WriteFile(dir.File("daqsvc.json"), config.dump());
    Process::Options o;
    o.argv = {BinPath("pemrix-daqsvc"), dir.File("daqsvc.json")};
    o.cwd = dir.Path();
    o.output = dir.File("daqsvc.out");
    auto p = std::make_unique<Process>(o);
    EXPECT_TRUE(p->Start());
    return p;
  }

  json Read(const std::vector<std::string>& ids) {
    return RpcCall(api, "ReadParameter", {{"device_id", "plant"}, {"parameters", ids}})["result"]["values"];
  }
  json Write(const std::string& id, const json& value, const json& indices = json::array()) {
    return RpcCall(api, "WriteParameter",
                   {{"device_id", "plant"}, {"parameter", id}, {"value", value}, {"indices", indices}});
  }
  bool WaitFor(const std::string& id, const json& expected, std::chrono::milliseconds timeout = 20s) {
    return WaitUntil([&] { return Read({id})[id] == expected; }, timeout, 50ms);
  }
  std::string Log() { return ReadFile(dir.File("daqsvc.log")); }

  static UaTestServer* open;
  static UaTestServer* hidden;
  TempDir dir{"pemrix-uachannel"};
  std::string api = dir.Ipc("daq.api");
};
UaTestServer* UaChannelTest::open = nullptr;
UaTestServer* UaChannelTest::hidden = nullptr;

json Channel(const UaTestServer& server) {
  // A short token lifetime: the tests run long enough to need a renewal.
  return {{"endpoint", server.Endpoint()}, {"request_timeout_ms", 2000}, {"channel_lifetime_ms", 2500}};
}

TEST_F(UaChannelTest, ReadsEveryTypeWritesScalarsAndElementsAndKeepsBatchesWithinTheLimit) {
  auto start = std::chrono::steady_clock::now();
  auto daq = Launch(Channel(*open));
  ASSERT_TRUE(WaitFor("B159", 159)) << Log();

  json expected = {{"SetPoint", 20.0}, {"Broken", nullptr}, {"Missing", nullptr}, {"Speed", 42.25}, {"ReadLimit", 40}};
  for (const auto& t : kTypes) {
    expected[std::string("S_") + t.node] = t.scalar;
    expected[std::string("A_") + t.node] = t.array;
  }
  for (int i = 0; i < kBulk; ++i) expected["B" + std::to_string(i)] = i;
  EXPECT_EQ(Read(Ids(Profile())), expected);

  // A scalar, one element of each array kind, and the whole of one array.
  const std::tuple<std::string, json, json, std::string, json> writes[] = {
      {"SetPoint", 42.5, json::array(), "SetPoint", 42.5},
      {"A_Int16", 7, {2}, "Array.Int16", {-2, 0, 7, 32767}},
      {"A_UInt64", 12345678901234u, {0}, "Array.UInt64", {"12345678901234", "1", "4294967296", "18446744073709551615"}},
      {"A_Boolean", false, {3}, "Array.Boolean", {true, false, true, false}},
      {"A_String", "neu", {1}, "Array.String", {"a", "neu", "ü", "line\nbreak"}},
      {"A_Double", {1.5, 2.5, 3.5, 4.5}, json::array(), "Array.Double", {1.5, 2.5, 3.5, 4.5}},
  };
  for (const auto& [id, value, indices, node, seen] : writes) {
    ASSERT_EQ(Write(id, value, indices)["result"], 1) << id;
    json event = {{"write", node}, {"value", seen}};
    EXPECT_TRUE(WaitUntil(
        [&] {
          auto events = open->Events();
          return std::find(events.begin(), events.end(), event) != events.end();
        },
        10s))
        << event.dump() << open->Output() << Log();
  }
  EXPECT_TRUE(WaitFor("A_Int16", {-2, 0, 7, 32767}, 5s));

  for (const auto& e : open->Events())
    if (e.contains("read")) {
      EXPECT_LE(e["read"], 40) << "batch above the server's limit";
    }
  // Past the token's lifetime (2.5 s, plus the server's grace): the channel was
  // renewed in time, never lost.
  EXPECT_TRUE(WaitUntil([&] { return std::chrono::steady_clock::now() - start > 5s; }, 10s));
  EXPECT_TRUE(WaitFor("SetPoint", 42.5, 2s));
  EXPECT_EQ(Log().find(" down : "), std::string::npos) << Log();
}

TEST_F(UaChannelTest, SplitsABatchTheServerRefusesAsTooMany) {
  auto daq = Launch(Channel(*hidden));
  ASSERT_TRUE(WaitFor("B159", 159)) << Log() << hidden->Output();
  EXPECT_EQ(Read({"S_Double", "B0", "Broken"}), json({{"S_Double", -1234.5678}, {"B0", 0}, {"Broken", nullptr}}));
  std::vector<int> sizes;
  for (const auto& e : hidden->Events())
    if (e.contains("read")) sizes.push_back(e["read"]);
  // The plug-in's 150 is refused once, then halved until the server takes it.
  ASSERT_FALSE(sizes.empty());
  EXPECT_EQ(std::count(sizes.begin(), sizes.end(), 150), 1) << json(sizes).dump();
  EXPECT_EQ(std::count(sizes.begin(), sizes.end(), 75), 1) << json(sizes).dump();
  EXPECT_EQ(std::count_if(sizes.begin(), sizes.end(), [](int n) { return n > 40; }), 2) << json(sizes).dump();
  EXPECT_NE(Log().find("server refused 150 operations"), std::string::npos) << Log();
}

TEST_F(UaChannelTest, ReopensAChannelTheServerClosedWhileIdle) {
  auto daq = Launch(Channel(*hidden), 3000);  // a cycle longer than the server keeps an idle channel
  ASSERT_TRUE(WaitFor("S_Int16", -32768)) << Log();
  // Reopened before each read: the value never turns null in between.
  EXPECT_FALSE(WaitUntil([&] { return Read({"S_Int16"})["S_Int16"] != -32768; }, 7s, 20ms)) << Log();
  EXPECT_NE(Log().find("reopened after"), std::string::npos) << Log();
}

TEST_F(UaChannelTest, ReadsAgainSoonAfterTheServerRestarts) {
  auto daq = Launch(Channel(*open));
  ASSERT_TRUE(WaitFor("S_Int16", -32768)) << Log();
  open->Kill();
  EXPECT_TRUE(WaitFor("S_Int16", nullptr, 10s)) << Log();
  EXPECT_NE(Log().find("Device 'plant' connected = false"), std::string::npos) << Log();
  ASSERT_TRUE(open->Start()) << open->Output();
  auto ready = std::chrono::steady_clock::now();
  EXPECT_TRUE(WaitFor("S_Int16", -32768, 10s)) << Log();
  EXPECT_LT(std::chrono::steady_clock::now() - ready, 5s);
  EXPECT_TRUE(daq->Running());
}

TEST_F(UaChannelTest, AServerThatNeverAnswersCostsBoundedTimeOuts) {
  // Accepts TCP (the kernel completes the handshake) and never says a word.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(fd, 16), 0);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  std::string endpoint = "opc.tcp://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));

  auto daq = Launch({{"endpoint", endpoint}, {"request_timeout_ms", 500}});
  ASSERT_TRUE(WaitUntil([&] { return Log().find("no answer within the request time-out") != std::string::npos; }, 10s))
      << Log();
  for (int i = 0; i < 5; ++i) {
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(Read({"S_Double", "B0"}), json({{"S_Double", nullptr}, {"B0", nullptr}}));
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1500ms);
  }
  EXPECT_TRUE(daq->Running());
  close(fd);
}

}  // namespace
