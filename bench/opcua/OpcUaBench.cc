// One update of 1,000 and of 10,000 tags from a real OPC UA server, beside a
// floor of the same run: the client alone reading the same nodes in the same
// batches of 150 (the plug-in's update should stay within 1.5 times its CPU
// time), and for 1,000 nodes the client over a Basic256Sha256 SignAndEncrypt
// channel against a plain one (within 1.5 times as well). The *Over* rows
// take both sides in turns and report their CPU ratio, which the load of a
// shared box disturbs far less than separate rows.
#include <sys/stat.h>
#include <time.h>

#include <map>

#include "DriverBench.h"
#include "UaTestServer.h"
#include "plinth/OPCUA_ClientChannelDriver.h"
#include "plinth/UaTcpSession.h"

namespace {

using namespace VESK::DAQ;
using json = nlohmann::json;

constexpr int kMaxTags = 10000;
constexpr size_t kBatch = 150;  // the plug-in's

struct Fixture {
  pemrix::testing::TempDir pki{"pemrix-uabench"};
  pemrix::testing::UaTestServer server{{"--bulk", std::to_string(kMaxTags), "--modes", "None,SignAndEncrypt",
                                        "--policies", "None,Basic256Sha256", "--certificate-out",
                                        pki.File("trusted/server.der")}};
  std::map<int, std::unique_ptr<bench::Driver>> drivers;  // by tag count
  std::unique_ptr<UaTcpSession> raw, secured;
  std::vector<ua::NodeId> ids;
  Fixture() {
    ::mkdir(pki.File("trusted").c_str(), 0700);
    if (!server.Start()) throw std::runtime_error("OPC UA test server did not start:\n" + server.Output());
    for (int i = 0; i < kMaxTags; ++i) ids.push_back(ua::NodeId::Str(1, "Bulk." + std::to_string(i)));
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
  bench::Driver& Driver(int tags) {
    auto& driver = drivers[tags];
    if (driver) return *driver;
    json params = json::array();
    for (int i = 0; i < tags; ++i)
      params.push_back(bench::Param("B" + std::to_string(i), "uint32", "1:Bulk." + std::to_string(i)));
    auto channel = OPCUA_ClientChannelDriver::Create({{"endpoint", server.Endpoint()}});
    if (!channel || !channel->CheckConnection()) throw std::runtime_error("channel did not connect");
    driver = std::make_unique<bench::Driver>(params, channel, json::object());
    return *driver;
  }
};
Fixture& F() {
  static Fixture fixture;  // its server is killed at exit
  return fixture;
}

// The last tag holds its own number.
void BM_OnPerformUpdating(benchmark::State& state) {
  const int tags = static_cast<int>(state.range(0));
  nlohmann::json out;
  F().Driver(tags).driver->OnPerformUpdating(out);  // connects and resolves the nodes
  for (auto _ : state) F().Driver(tags).driver->OnPerformUpdating(out);
  if (out["parameters"]["B" + std::to_string(tags - 1)] != tags - 1) state.SkipWithError("wrong output");
}
// Iterations are counted in wall time: the server's share would otherwise make
// the runs of 10,000 tags last minutes.
BENCHMARK(BM_OnPerformUpdating)->Arg(1000)->Arg(kMaxTags)->Unit(benchmark::kMillisecond)->UseRealTime();

void RawRead(benchmark::State& state, UaTcpSession& session) {
  const std::vector<ua::NodeId> ids(F().ids.begin(), F().ids.begin() + state.range(0));
  std::vector<ua::DataValue> values;
  bool ok = true;
  for (auto _ : state) {
    ok = session.ReadValues(ids, values, kBatch) && ok;
    benchmark::DoNotOptimize(values);
  }
  if (!ok || values.size() != ids.size()) state.SkipWithError("raw read failed");
}
void BM_Floor_RawRead(benchmark::State& state) { RawRead(state, *F().raw); }
BENCHMARK(BM_Floor_RawRead)->Arg(1000)->Arg(kMaxTags)->Unit(benchmark::kMillisecond)->UseRealTime();

double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// Two reads of the same nodes taken in turns, so both see the same load on
// the box: their CPU times per round and the ratio of the first's to the
// second's.
template <class First, class Second>
void InTurns(benchmark::State& state, First first, Second second) {
  double a = 0, b = 0;
  first(), second();  // connects and resolves
  for (auto _ : state) {
    double t0 = ThreadCpuMs();
    first();
    double t1 = ThreadCpuMs();
    second();
    a += t1 - t0, b += ThreadCpuMs() - t1;
  }
  const double rounds = double(state.iterations());
  state.counters["first_cpu_ms"] = a / rounds;
  state.counters["second_cpu_ms"] = b / rounds;
  state.counters["ratio"] = a / b;
}

// The plug-in's update over the bare client's read of the same nodes.
void BM_UpdateOverFloor(benchmark::State& state) {
  const std::vector<ua::NodeId> ids(F().ids.begin(), F().ids.begin() + state.range(0));
  std::vector<ua::DataValue> values;
  nlohmann::json out;
  auto& driver = *F().Driver(static_cast<int>(state.range(0))).driver;
  InTurns(
      state, [&] { driver.OnPerformUpdating(out); }, [&] { F().raw->ReadValues(ids, values, kBatch); });
}
BENCHMARK(BM_UpdateOverFloor)->Arg(1000)->Arg(kMaxTags)->Unit(benchmark::kMillisecond)->UseRealTime();

// The client over a SignAndEncrypt channel over a plain one.
void BM_SecuredOverPlain(benchmark::State& state) {
  const std::vector<ua::NodeId> ids(F().ids.begin(), F().ids.begin() + state.range(0));
  std::vector<ua::DataValue> values;
  InTurns(
      state, [&] { F().secured->ReadValues(ids, values, kBatch); }, [&] { F().raw->ReadValues(ids, values, kBatch); });
}
BENCHMARK(BM_SecuredOverPlain)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
