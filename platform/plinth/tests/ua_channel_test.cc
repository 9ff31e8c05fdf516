// The OPC UA client against a real server, through pemrix-daqsvc and Quillet.drv as the data logger reaches them.
#include <algorithm>
#include <tuple>

#include "DaqTestPeer.h"
#include "UaTestServer.h"

using namespace pemrix::testing;
using json = nlohmann::json;

namespace {

// Server type, profile type, and the values the server holds as ReadParameter answers them.
const std::tuple<const char*, const char*, json, json> kTypes[] = {
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

json Parameter(const std::string& id, const std::string& type, const std::string& node, int arrayLength = 0) {
  json p = {{"id", id}, {"type", type}, {"array_length", arrayLength}, {"write_mode", 1}};
  p["attributes"]["address"]["node_id"] = node;
  return p;
}

class UaChannelTest : public DaqServiceFixture {
 protected:
  // The second hides its limits (refusing larger batches) and closes idle channels.
  static void SetUpTestSuite() {
    std::vector<std::string> limits = {"--max-read", "40", "--max-write", "10", "--bulk", std::to_string(kBulk)};
    open = std::make_unique<UaTestServer>(limits);
    limits.insert(limits.end(), {"--hide-limits", "--idle-close-ms", "2000"});
    hidden = std::make_unique<UaTestServer>(limits);
    ASSERT_TRUE(open->Launch() && hidden->Launch());
    ASSERT_TRUE(open->Ready() && hidden->Ready()) << open->Output() << hidden->Output();
  }

  void SetUp() override {
    DaqServiceFixture::SetUp();
    for (const auto& [node, type, scalar, array] : kTypes) {
      profile.push_back(Parameter(std::string("S_") + node, type, std::string("1:Scalar.") + node));
      profile.push_back(Parameter(std::string("A_") + node, type, std::string("1:Array.") + node, 4));
    }
    profile.push_back(Parameter("SetPoint", "double", "1:SetPoint"));
    profile.push_back(Parameter("Broken", "double", "1:Broken"));
    profile.push_back(Parameter("Missing", "double", "1:NoSuchNode"));
    profile.push_back(Parameter("Speed", "double", "1:/Plant/Line1/Speed"));  // a browse path
    profile.push_back(Parameter("ReadLimit", "uint32", "0:i=11705"));         // a numeric node id
    for (int i = 0; i < kBulk; ++i)
      profile.push_back(Parameter("B" + std::to_string(i), "uint32", "1:Bulk." + std::to_string(i)));
    WriteFile(dir.File("plant.profile.json"), json({{"name", "plant"}, {"parameters", profile}}).dump());
  }

  // A short token lifetime: the tests run long enough to need a renewal.
  std::unique_ptr<Process> Launch(const std::string& endpoint, int cycleMs = 100, int timeoutMs = 2000) {
    json device = {{"id", "plant"}, {"driver", "Quillet.drv"}, {"profile", "plant.profile.json"}};
    device["channel"] = {{"endpoint", endpoint}, {"request_timeout_ms", timeoutMs}, {"channel_lifetime_ms", 2500}};
    return DaqServiceFixture::Launch(Config(json::array({device}), cycleMs), false);
  }
  json Read(const json& ids) { return DaqServiceFixture::Read(ids, "plant")["result"]["values"]; }
  bool WaitFor(const std::string& id, const json& expected, std::chrono::milliseconds timeout = 20s) {
    return WaitUntil([&] { return Read({id})[id] == expected; }, timeout, 50ms);
  }
  std::vector<int> ReadSizes(const UaTestServer& server) {
    std::vector<int> sizes;
    for (const auto& e : server.Events())
      if (e.contains("read")) sizes.push_back(e["read"]);
    return sizes;
  }

  static inline std::unique_ptr<UaTestServer> open, hidden;
  json profile = json::array();
};

TEST_F(UaChannelTest, ReadsEveryTypeWritesScalarsAndElementsAndKeepsBatchesWithinTheLimit) {
  auto start = std::chrono::steady_clock::now();
  auto daq = Launch(open->Endpoint());
  ASSERT_TRUE(WaitFor("B159", 159)) << Log();

  json expected = {{"SetPoint", 20.0}, {"Broken", nullptr}, {"Missing", nullptr}, {"Speed", 42.25}, {"ReadLimit", 40}};
  for (const auto& [node, type, scalar, array] : kTypes) {
    expected[std::string("S_") + node] = scalar;
    expected[std::string("A_") + node] = array;
  }
  for (int i = 0; i < kBulk; ++i) expected["B" + std::to_string(i)] = i;
  std::vector<std::string> ids;
  for (const auto& p : profile) ids.push_back(p["id"]);
  EXPECT_EQ(Read(ids), expected);

  // A scalar, one element of each array kind, and the whole of one array, as the server saw them.
  const std::tuple<std::string, json, json, std::string, json> writes[] = {
      {"SetPoint", 42.5, json::array(), "SetPoint", 42.5},
      {"A_Int16", 7, {2}, "Array.Int16", {-2, 0, 7, 32767}},
      {"A_UInt64", 12345678901234u, {0}, "Array.UInt64", {"12345678901234", "1", "4294967296", "18446744073709551615"}},
      {"A_Boolean", false, {3}, "Array.Boolean", {true, false, true, false}},
      {"A_String", "neu", {1}, "Array.String", {"a", "neu", "ü", "line\nbreak"}},
      {"A_Double", {1.5, 2.5, 3.5, 4.5}, json::array(), "Array.Double", {1.5, 2.5, 3.5, 4.5}},
  };
  for (const auto& [id, value, indices, node, seen] : writes) {
    ASSERT_EQ(Write("plant", id, value, indices)["result"], 1) << id;
    const json event = {{"write", node}, {"value", seen}};
    auto written = [&] { return json(open->Events()).dump().find(event.dump()) != std::string::npos; };
    EXPECT_TRUE(WaitUntil(written, 10s)) << event.dump() << open->Output() << Log();
  }
  EXPECT_TRUE(WaitFor("A_Int16", {-2, 0, 7, 32767}, 5s));
  for (int size : ReadSizes(*open)) EXPECT_LE(size, 40) << "batch above the server's limit";

  // Past the token's lifetime (2.5 s, plus the server's grace): renewed in time, never lost.
  EXPECT_TRUE(WaitUntil([&] { return std::chrono::steady_clock::now() - start > 5s; }, 10s));
  EXPECT_TRUE(WaitFor("SetPoint", 42.5, 2s));
  EXPECT_EQ(Log().find(" down : "), std::string::npos) << Log();
}

TEST_F(UaChannelTest, SplitsABatchTheServerRefusesAsTooMany) {
  auto daq = Launch(hidden->Endpoint());
  ASSERT_TRUE(WaitFor("B159", 159)) << Log() << hidden->Output();
  EXPECT_EQ(Read({"S_Double", "B0", "Broken"}), json({{"S_Double", -1234.5678}, {"B0", 0}, {"Broken", nullptr}}));
  // The plug-in's 150 is refused once, then halved until the server takes it.
  auto sizes = ReadSizes(*hidden);
  EXPECT_EQ(std::count(sizes.begin(), sizes.end(), 150), 1) << json(sizes);
  EXPECT_EQ(std::count(sizes.begin(), sizes.end(), 75), 1) << json(sizes);
  EXPECT_EQ(std::count_if(sizes.begin(), sizes.end(), [](int n) { return n > 40; }), 2) << json(sizes);
}

TEST_F(UaChannelTest, ReopensAChannelTheServerClosedWhileIdle) {
  auto daq = Launch(hidden->Endpoint(), 3000);  // a cycle longer than the server keeps an idle channel
  ASSERT_TRUE(WaitFor("S_Int16", -32768)) << Log();
  EXPECT_FALSE(WaitUntil([&] { return Read({"S_Int16"})["S_Int16"] != -32768; }, 7s, 20ms)) << "never null" << Log();
  EXPECT_NE(Log().find("reopened after"), std::string::npos) << Log();
}

TEST_F(UaChannelTest, ReadsAgainSoonAfterTheServerRestarts) {
  auto daq = Launch(open->Endpoint());
  ASSERT_TRUE(WaitFor("S_Int16", -32768)) << Log();
  open->Kill();
  EXPECT_TRUE(WaitFor("S_Int16", nullptr, 10s)) << Log();
  ASSERT_TRUE(open->Start()) << open->Output();
  auto ready = std::chrono::steady_clock::now();
  EXPECT_TRUE(WaitFor("S_Int16", -32768, 10s)) << Log();
  EXPECT_LT(std::chrono::steady_clock::now() - ready, 5s);
  EXPECT_TRUE(daq->Running());
}

TEST_F(UaChannelTest, AServerThatNeverAnswersCostsBoundedTimeOuts) {
  const int port = FreeTcpPort();  // accepts TCP and never says a word
  const std::string js = "require('net').createServer(() => {}).listen(" + std::to_string(port) + ", '127.0.0.1')";
  Process silent({{"node", "-e", js}, "", {}, "/dev/null"});
  ASSERT_TRUE(silent.Start() && WaitUntil([&] { return TcpPortOpen(port); }, 10s));
  auto daq = Launch("opc.tcp://127.0.0.1:" + std::to_string(port), 100, 500);
  ASSERT_TRUE(WaitUntil([&] { return Log().find("no answer within the request time-out") != std::string::npos; }, 10s))
      << Log();
  for (int i = 0; i < 5; ++i) {
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(Read({"S_Double", "B0"}), json({{"S_Double", nullptr}, {"B0", nullptr}}));
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1500ms);
  }
  EXPECT_TRUE(daq->Running());
}

}  // namespace
