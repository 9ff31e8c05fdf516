// Invoke round trip vs. the floor of the same texts on bare request/reply sockets.
#include <benchmark/benchmark.h>
#include <easylogging++.h>
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>

#include <algorithm>
#include <atomic>
#include <nlohmann/json.hpp>
#include <thread>

#include "JsonRpcClient.h"
#include "JsonRpcServer.h"
#include "TestSupport.h"

namespace {

const nlohmann::json kParams = {{"device_id", "Device1"}, {"parameters", {"Tag1"}}};
const std::string kReply = R"({"id":1,"jsonrpc":"2.0","result":{"Tag1":21.5}})";

struct ReadStub : VESK::JsonRpcStub {  // what the acquisition service answers to a one-tag read
  ReadStub() : JsonRpcStub("DAQ") {}
  bool Invoke(nlohmann::json& request, nlohmann::json& response) override {
    response = {{"jsonrpc", "2.0"}, {"id", request["id"]}, {"result", {{"Tag1", 21.5}}}};
    return true;
  }
};

void BM_InvokeRoundTrip(benchmark::State& state) {
  pemrix::testing::TempDir dir;
  VESK::JsonRpcServer server(dir.Ipc("api"));
  server.Add(std::make_shared<ReadStub>());
  server.Start();
  VESK::JsonRpcClient client(dir.Ipc("api"));
  nlohmann::json result;
  if (!client.Invoke("DAQ.ReadParameter", kParams, result)) state.SkipWithError("no answer");
  for (auto _ : state) benchmark::DoNotOptimize(client.Invoke("DAQ.ReadParameter", kParams, result));
}

// The same texts on bare sockets: no JSON work, no logging, no dispatch.
void BM_RawReqRepFloor(benchmark::State& state) {
  pemrix::testing::TempDir dir;
  const std::string request =
      nlohmann::json{{"id", 1}, {"jsonrpc", "2.0"}, {"method", "DAQ.ReadParameter"}, {"params", kParams}}.dump();
  const int rep = nn_socket(AF_SP, NN_REP), req = nn_socket(AF_SP, NN_REQ), poll = 100;
  nn_setsockopt(rep, NN_SOL_SOCKET, NN_RCVTIMEO, &poll, sizeof(poll));
  nn_bind(rep, dir.Ipc("api").c_str());
  std::atomic<bool> stop{false};
  std::thread server([&] {
    for (void* data = nullptr; !stop;)
      if (nn_recv(rep, &data, NN_MSG, 0) >= 0 && nn_freemsg(data) == 0) nn_send(rep, kReply.data(), kReply.size(), 0);
  });
  nn_connect(req, dir.Ipc("api").c_str());
  for (auto _ : state) {
    void* data = nullptr;
    nn_send(req, request.data(), request.size(), 0);
    const int n = nn_recv(req, &data, NN_MSG, 0);
    benchmark::DoNotOptimize(std::string(static_cast<const char*>(data), n));  // the client copies the reply too
    nn_freemsg(data);
  }
  stop = true;
  server.join();
  nn_close(req);
  nn_close(rep);
}

// The machine is shared: the least of the repetitions is the figure least disturbed by other load.
double Least(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

}  // namespace

BENCHMARK(BM_RawReqRepFloor)->UseRealTime()->ComputeStatistics("min", Least);
BENCHMARK(BM_InvokeRoundTrip)->UseRealTime()->ComputeStatistics("min", Least);

int main(int argc, char** argv) {
  // The server's INFO line per request is still built (part of the cost) but written nowhere.
  el::Loggers::reconfigureAllLoggers(el::ConfigurationType::ToStandardOutput, "false");
  el::Loggers::reconfigureAllLoggers(el::ConfigurationType::ToFile, "false");
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
}
