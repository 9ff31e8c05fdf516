// One update of 1,000 tags from a real OPC UA server, beside a floor of the same
// run: the client alone reading the same nodes in the same batches of 150,
// over a plain channel and over a Basic256Sha256 SignAndEncrypt one (its CPU
// time should stay within 1.5 times the plain one's).
#include <sys/stat.h>

#include <optional>

#include "DriverBench.h"
#include "UaTestServer.h"
#include "plinth/OPCUA_ClientChannelDriver.h"
#include "plinth/UaTcpSession.h"

namespace {

using namespace VESK::DAQ;
using json = nlohmann::json;

constexpr int kTags = 1000;

struct Fixture {
  pemrix::testing::TempDir pki{"pemrix-uabench"};
  pemrix::testing::UaTestServer server{{"--bulk", std::to_string(kTags), "--modes", "None,SignAndEncrypt", "--policies",
                                        "None,Basic256Sha256", "--certificate-out", pki.File("trusted/server.der")}};
  std::optional<bench::Driver> driver;
  std::unique_ptr<UaTcpSession> raw, secured;
  std::vector<ua::NodeId> ids;
  Fixture() {
    ::mkdir(pki.File("trusted").c_str(), 0700);
    if (!server.Start()) throw std::runtime_error("OPC UA test server did not start:\n" + server.Output());
    json params = json::array();
    for (int i = 0; i < kTags; ++i) {
      params.push_back(bench::Param("B" + std::to_string(i), "uint32", "1:Bulk." + std::to_string(i)));
      ids.push_back(ua::NodeId::Str(1, "Bulk." + std::to_string(i)));
    }
    auto channel = OPCUA_ClientChannelDriver::Create({{"endpoint", server.Endpoint()}});
    if (!channel || !channel->CheckConnection()) throw std::runtime_error("channel did not connect");
    driver.emplace(params, channel, json::object());
    UaTcpSession::Settings s;
    s.endpoint = server.Endpoint();
    raw = std::make_unique<UaTcpSession>(s);
    if (!raw->Reconnect()) throw std::runtime_error("raw session did not connect");
    s.securityMode = "SignAndEncrypt";
    s.securityPolicy = "Basic256Sha256";
    s.certificate = pki.File("gw.pem"), s.privateKey = pki.File("gw.key"), s.trusted = pki.File("trusted");
    secured = std::make_unique<UaTcpSession>(s);
    if (!secured->Reconnect()) throw std::runtime_error("secured session did not connect");
  }
};
Fixture& F() {
  static Fixture fixture;  // its server is killed at exit
  return fixture;
}

void BM_OnPerformUpdating(benchmark::State& state) {
  F().driver->Update(state, [](const json& p) { return p["B999"] == 999; });
}
BENCHMARK(BM_OnPerformUpdating)->Unit(benchmark::kMillisecond);

void RawRead(benchmark::State& state, UaTcpSession& session) {
  std::vector<ua::DataValue> values;
  bool ok = true;
  for (auto _ : state)
    for (int i = 0; i < kTags; i += 150) {
      ok = session.ReadValues({F().ids.begin() + i, F().ids.begin() + std::min(i + 150, kTags)}, values) && ok;
      benchmark::DoNotOptimize(values);
    }
  if (!ok) state.SkipWithError("raw read failed");
}
void BM_Floor_RawRead(benchmark::State& state) { RawRead(state, *F().raw); }
BENCHMARK(BM_Floor_RawRead)->Unit(benchmark::kMillisecond);
void BM_RawRead_SignAndEncrypt(benchmark::State& state) { RawRead(state, *F().secured); }
BENCHMARK(BM_RawRead_SignAndEncrypt)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
