// Invoke round trip vs. the raw request/reply floor, both over ipc:// in a
// private folder, both with the server side on its own thread.
#include <benchmark/benchmark.h>
#include <easylogging++.h>
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "JsonRpcClient.h"
#include "JsonRpcServer.h"

namespace {

const nlohmann::json kParams = {{"device_id", "Device1"}, {"parameters", {"Tag1"}}};

// What the acquisition service answers to a one-tag read.
class ReadStub : public VESK::JsonRpcStub {
 public:
  ReadStub() : JsonRpcStub("DAQ") {}
  bool Invoke(nlohmann::json& request, nlohmann::json& response) override {
    response = {{"jsonrpc", "2.0"}, {"id", request["id"]}, {"result", {{"Tag1", 21.5}}}};
    return true;
  }
};

class Folder {
 public:
  Folder() {
    char path[] = "/tmp/pemrix-bench-XXXXXX";
    _path = mkdtemp(path);
  }
  ~Folder() {
    unlink((_path + "/api.ipc").c_str());
    rmdir(_path.c_str());
  }
  std::string Url() const { return "ipc://" + _path + "/api.ipc"; }

 private:
  std::string _path;
};

void BM_InvokeRoundTrip(benchmark::State& state) {
  Folder folder;
  VESK::JsonRpcServer server(folder.Url());
  server.Add(std::make_shared<ReadStub>());
  server.Start();
  VESK::JsonRpcClient client(folder.Url());
  nlohmann::json result;
  if (!client.Invoke("DAQ.ReadParameter", kParams, result)) state.SkipWithError("no answer");
  for (auto _ : state) {
    client.Invoke("DAQ.ReadParameter", kParams, result);
    benchmark::DoNotOptimize(result);
  }
  server.Stop();
}

// The same request and reply texts, carried by bare sockets: no JSON work,
// no logging, no dispatch.
void BM_RawReqRepFloor(benchmark::State& state) {
  Folder folder;
  const std::string request =
      R"({"id":1,"jsonrpc":"2.0","method":"DAQ.ReadParameter","params":{"device_id":"Device1","parameters":["Tag1"]}})";
  const std::string reply = R"({"id":1,"jsonrpc":"2.0","result":{"Tag1":21.5}})";
  const int rep = nn_socket(AF_SP, NN_REP);
  const int poll = 100;
  nn_setsockopt(rep, NN_SOL_SOCKET, NN_RCVTIMEO, &poll, sizeof(poll));
  nn_bind(rep, folder.Url().c_str());
  std::atomic<bool> stop{false};
  std::thread server([&] {
    while (!stop) {
      void* data = nullptr;
      if (nn_recv(rep, &data, NN_MSG, 0) < 0) continue;
      nn_freemsg(data);
      nn_send(rep, reply.data(), reply.size(), 0);
    }
  });
  const int req = nn_socket(AF_SP, NN_REQ);
  nn_connect(req, folder.Url().c_str());
  for (auto _ : state) {
    nn_send(req, request.data(), request.size(), 0);
    void* data = nullptr;
    const int n = nn_recv(req, &data, NN_MSG, 0);
    std::string text(static_cast<const char*>(data), n);  // the client copies the reply too
    benchmark::DoNotOptimize(text);
    nn_freemsg(data);
  }
  nn_close(req);
  stop = true;
  server.join();
  nn_close(rep);
}

}  // namespace

// The machine is shared: the least of the repetitions is the figure least
// disturbed by other load.
double Least(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

BENCHMARK(BM_RawReqRepFloor)->UseRealTime()->ComputeStatistics("min", Least);
BENCHMARK(BM_InvokeRoundTrip)->UseRealTime()->ComputeStatistics("min", Least);

int main(int argc, char** argv) {
  // The server logs one INFO line per request. The line is still built (that
  // is part of the cost) but written nowhere, so a terminal or disk does not
  // dominate the figure.
  el::Configurations conf;
  conf.setToDefault();
  conf.setGlobally(el::ConfigurationType::ToStandardOutput, "false");
  conf.setGlobally(el::ConfigurationType::ToFile, "false");
  el::Loggers::reconfigureAllLoggers(conf);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
