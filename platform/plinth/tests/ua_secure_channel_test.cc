// The OPC UA client against a real server that wants a secured channel and a login, through pemrix-daqsvc and
// Quillet.drv: each policy and mode reads and writes; each way in that must fail gives its one line, no crash.
#include <sys/stat.h>

#include "DaqTestPeer.h"
#include "UaTestServer.h"
#include "plinth/UaCertificates.h"

using namespace pemrix::testing;
using json = nlohmann::json;

namespace {

class UaSecureChannelTest : public DaqServiceFixture {
 protected:
  // The gateway's certificate is made ahead so that one server trusts it; the other trusts only a stranger.
  static void SetUpTestSuite() {
    pki = std::make_unique<TempDir>("pemrix-uapki");
    VESK::DAQ::ua::Identity own, stranger;
    std::string why;
    ASSERT_TRUE(LoadOrCreateIdentity(pki->File("gw.pem"), pki->File("gw.key"), "urn:pemrix:gateway:plinth", own, why));
    ASSERT_TRUE(LoadOrCreateIdentity(pki->File("x.pem"), pki->File("x.key"), "urn:x", stranger, why));
    ::mkdir(pki->File("trusted").c_str(), 0700);
    ::mkdir(pki->File("empty").c_str(), 0700);
    WriteFile(pki->File("right"), "secret\n");
    WriteFile(pki->File("wrong"), "guess\n");
    ::chmod(pki->File("right").c_str(), 0600);
    ::chmod(pki->File("wrong").c_str(), 0600);
    std::vector<std::string> secure = {
        "--modes", "Sign,SignAndEncrypt", "--policies",    "Basic256Sha256,Aes128_Sha256_RsaOaep",
        "--users", "op:secret",           "--no-anonymous"};
    auto with = [&](std::vector<std::string> more) {
      more.insert(more.begin(), secure.begin(), secure.end());
      return std::make_unique<UaTestServer>(more);
    };
    server = with({"--trust", pki->File("gw.pem"), "--certificate-out", pki->File("trusted/server.der")});
    picky = with({"--trust", pki->File("x.pem"), "--certificate-out", pki->File("trusted/picky.der")});
    ASSERT_TRUE(server->Launch() && picky->Launch());
    ASSERT_TRUE(server->Ready() && picky->Ready()) << server->Output() << picky->Output();
  }
  static void TearDownTestSuite() { server.reset(), picky.reset(), pki.reset(); }

  static json Device(const std::string& id, const UaTestServer& to, const std::string& mode, const std::string& policy,
                     const std::string& password, const std::string& trusted = "trusted") {
    json channel = {{"endpoint", to.Endpoint()},          {"security_mode", mode},
                    {"security_policy", policy},          {"certificate", pki->File("gw.pem")},
                    {"private_key", pki->File("gw.key")}, {"trusted", pki->File(trusted)},
                    {"request_timeout_ms", 5000},         {"channel_lifetime_ms", 3000}};
    if (!password.empty()) channel.update({{"user", "op"}, {"password_file", pki->File(password)}});
    return {{"id", id}, {"driver", "Quillet.drv"}, {"profile", "p.profile.json"}, {"channel", channel}};
  }
  size_t Count(const std::string& text) {
    std::string log = Log();
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }

  static inline std::unique_ptr<TempDir> pki;
  static inline std::unique_ptr<UaTestServer> server, picky;
};

TEST_F(UaSecureChannelTest, EachPolicyAndModeReadsAndWritesAndEachRefusalIsOneLine) {
  json profile = json::array();
  for (const char* id : {"SetPoint", "Scalar.Double"}) {
    json p = {{"id", id}, {"type", "double"}, {"array_length", 0}, {"write_mode", 1}};
    p["attributes"]["address"]["node_id"] = std::string("1:") + id;
    profile.push_back(p);
  }
  WriteFile(dir.File("p.profile.json"), json({{"name", "p"}, {"parameters", profile}}).dump());
  // Device, written value (0: must not connect) or the line it must log once.
  const std::vector<std::tuple<json, double, std::string>> rows = {
      {Device("b256-encrypt", *server, "SignAndEncrypt", "Basic256Sha256", "right"), 1.5, ""},
      {Device("aes-sign", *server, "Sign", "Aes128_Sha256_RsaOaep", "right"), 2.5, ""},
      {Device("best", *server, "best", "best", "right"), 3.5, ""},
      {Device("anonymous", *server, "SignAndEncrypt", "Basic256Sha256", ""), 0, "offers no anonymous login"},
      {Device("wrong-password", *server, "Sign", "Basic256Sha256", "wrong"), 0, "user 'op' or its password refused"},
      {Device("none", *server, "None", "None", "right"), 0, "offers no endpoint with security None"},
      {Device("untrusted", *server, "Sign", "Basic256Sha256", "right", "empty"), 0, "server certificate untrusted"},
      {Device("distrusted", *picky, "SignAndEncrypt", "Basic256Sha256", "right"), 0, "server refused our certificate"},
  };
  json devices = json::array();
  for (const auto& row : rows) devices.push_back(std::get<0>(row));
  auto daq = Launch(Config(devices, 100), false);

  for (const auto& [device, value, line] : rows) {
    const std::string id = device["id"];
    if (value == 0) {
      EXPECT_TRUE(WaitUntil([&] { return Count(line) > 0; }, 20s)) << id << Log();
      continue;
    }
    ASSERT_TRUE(
        WaitUntil([&] { return Read({"Scalar.Double"}, id)["result"]["values"]["Scalar.Double"] == -1234.5678; }, 20s))
        << id << Log() << server->Output();
    EXPECT_EQ(Write(id, "SetPoint", value)["result"], 1) << id;
    const std::string event = json({{"write", "SetPoint"}, {"value", value}}).dump();
    EXPECT_TRUE(WaitUntil([&] { return json(server->Events()).dump().find(event) != std::string::npos; }, 10s)) << id;
  }
  // Past the token lifetime (renewed on every channel), and several reconnect attempts of each refused one.
  auto later = std::chrono::steady_clock::now() + 5s;
  EXPECT_TRUE(WaitUntil([&] { return std::chrono::steady_clock::now() > later; }, 10s));
  EXPECT_EQ(Read({"Scalar.Double"}, "b256-encrypt")["result"]["values"]["Scalar.Double"], -1234.5678) << Log();
  for (const auto& [device, value, line] : rows)
    if (value == 0) {
      EXPECT_EQ(Count(line), 1u) << device["id"] << Log();
    }
  EXPECT_TRUE(daq->Running());
}

}  // namespace
