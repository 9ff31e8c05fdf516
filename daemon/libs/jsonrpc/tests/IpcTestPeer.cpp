// A second process for the IPC tests.
//   serve URL      : a JSON-RPC server whose stub "Echo" answers with the
//                    request's params; on SIGTERM or SIGINT it terminates the
//                    library, stops the server and exits 0.
//   subscribe URL  : a subscriber printing each received event as one line:
//                    its bytes in hex, a space, the BSON decoded to JSON.
#include <nanomsg/nn.h>
#include <nanomsg/pubsub.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

#include "JsonRpcServer.h"

namespace {

class EchoStub : public VESK::JsonRpcStub {
 public:
  EchoStub() : JsonRpcStub("Echo") {}
  bool Invoke(nlohmann::json& request, nlohmann::json& response) override {
    response = {{"jsonrpc", "2.0"}, {"id", request["id"]}, {"result", request["params"]}};
    return true;
  }
};

int Serve(const char* url) {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);  // the worker inherits the mask
  VESK::JsonRpcServer server(url);
  server.Add(std::make_shared<EchoStub>());
  server.Start();
  int signal = 0;
  sigwait(&stopSignals, &signal);
  // Terminate the library under the running worker, as a program's exit path
  // may: the worker has to notice and end, or Stop would wait for good.
  nn_term();
  server.Stop();
  return 0;
}

int Subscribe(const char* url) {
  const int s = nn_socket(AF_SP, NN_SUB);
  if (s < 0 || nn_setsockopt(s, NN_SUB, NN_SUB_SUBSCRIBE, "", 0) < 0 || nn_connect(s, url) < 0) return 2;
  for (;;) {
    void* data = nullptr;
    const int n = nn_recv(s, &data, NN_MSG, 0);
    if (n < 0) return 3;
    const auto* bytes = static_cast<const uint8_t*>(data);
    std::vector<uint8_t> body(bytes, bytes + n);
    nn_freemsg(data);
    for (uint8_t byte : body) std::printf("%02x", byte);
    std::string decoded;
    try {
      decoded = nlohmann::json::from_bson(body).dump();
    } catch (const std::exception& e) {
      decoded = std::string("undecodable: ") + e.what();
    }
    std::printf(" %s\n", decoded.c_str());
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "serve") == 0) return Serve(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "subscribe") == 0) return Subscribe(argv[2]);
  std::fprintf(stderr, "usage: %s serve|subscribe URL\n", argv[0]);
  return 1;
}
