// The server over a real reply socket, driven by raw request texts.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

#include "DaqTestPeer.h"
#include "JsonRpcServer.h"
#include "TestSupport.h"

using namespace pemrix::testing;
using nlohmann::json;

namespace {

const char* const kCall = R"({"id":1,"jsonrpc":"2.0","method":"A.B"})";

// Answers with the whole request as result; params "throw" throws, "latin1"
// answers bytes that are not UTF-8. Counts notifications.
struct RecordingStub : VESK::JsonRpcStub {
  explicit RecordingStub(const std::string& name) : JsonRpcStub(name) {}
  bool Invoke(json& request, json& response) override {
    if (request["params"] == "throw") throw std::runtime_error("stub broke");
    response = {{"jsonrpc", "2.0"}, {"id", request["id"]}, {"result", request}};
    if (request["params"] == "latin1") response["result"] = "Stra\xdf";
    return true;
  }
  bool Invoke(json&) override { return ++notifications; }
  int notifications = 0;
};

struct JsonRpcServerTest : ::testing::Test {
  JsonRpcServerTest() {
    server.Add(stub);
    server.Start();
  }
  TempDir dir;
  const std::string url = dir.Ipc("api");
  std::shared_ptr<RecordingStub> stub = std::make_shared<RecordingStub>("Obj");
  VESK::JsonRpcServer server{url};  // stopped first
};

}  // namespace

TEST_F(JsonRpcServerTest, AnswersEveryKindOfRequestAndKeepsServing) {
  const std::string invalid =
      R"({"error":{"code":-32600,"message":"Invalid JSON-RPC request."},"id":null,"jsonrpc":"2.0"})";
  const std::string parseError = R"({"error":{"code":-32700,"message":"Parse error."},"id":null,"jsonrpc":"2.0"})";
  const std::string internal = R"({"error":{"code":-32603,"message":"Internal error."},"id":4,"jsonrpc":"2.0"})";
  const std::string latin1 = R"({"id":4,"jsonrpc":"2.0","method":"Obj.Read","params":"latin1"})";
  const std::string noObject =
      R"({"error":{"code":-32601,"message":"'Nope' Object not found."},"id":1,"jsonrpc":"2.0"})";
  // Served in order: a bad message or a failing stub never ends the loop.
  const std::vector<std::pair<std::string, std::string>> exchanges = {
      {"{not json", parseError},
      {"", parseError},
      {std::string(100000, '[') + std::string(100000, ']'), parseError},
      {latin1, internal},
      {"[" + latin1 + "," + kCall + "]",
       "[" + internal + R"(,{"error":{"code":-32601,"message":"'A' Object not found."},"id":1,"jsonrpc":"2.0"}])"},
      {R"({"id":4,"jsonrpc":"2.0","method":"Obj.Read","params":"throw"})", internal},
      {R"({"id":1,"jsonrpc":"2.0","method":"Nope.Read"})", noObject},
      {R"({"id":1,"jsonrpc":"2.0","method":"Read"})", "null"},  // default stub leaves the response null
      {R"({"jsonrpc":"2.0","method":"Obj.Tick"})", "null"},     // notification
      {R"({"id":1,"jsonrpc":"1.0","method":"Obj.Read"})", invalid},
      {R"({"id":{},"jsonrpc":"2.0","method":"Obj.Read"})", invalid},
      {R"({"id":1,"jsonrpc":"2.0","method":5})", invalid},
      {"42", invalid},
      {R"([{"id":1,"jsonrpc":"2.0","method":"Nope.A"},{"jsonrpc":"2.0","method":"Obj.B"},{"id":3,"jsonrpc":"2.0"}])",
       "[" + noObject + ",null," + invalid + "]"},
      {R"({"id":"x","jsonrpc":"2.0","method":"Obj.Read","params":[1]})",
       R"({"id":"x","jsonrpc":"2.0","result":{"id":"x","jsonrpc":"2.0","method":"Obj.Read","params":[1]}})"}};
  for (const auto& [request, reply] : exchanges) EXPECT_EQ(RpcText(url, request), reply) << request;
  EXPECT_EQ(stub->notifications, 2);  // one alone, one in the batch
}

TEST_F(JsonRpcServerTest, AddAndRemoveWhileTheWorkerServes) {
  std::atomic<bool> done{false};
  int valid = 0;  // every call gets one of the two valid answers
  std::thread caller([&] {
    for (int i = 0; i < 200; ++i) {
      json reply = json::parse(RpcText(url, R"({"id":1,"jsonrpc":"2.0","method":"Other.Read"})"));
      valid += reply.contains("result") || reply["error"]["code"] == -32601;
    }
    done = true;
  });
  for (auto other = std::make_shared<RecordingStub>("Other"); !done; server.Remove("Other")) server.Add(other);
  caller.join();
  EXPECT_EQ(valid, 200);
}

TEST(JsonRpcServer, StopEndsABlockedLoopPromptlyEveryTime) {
  TempDir dir;
  for (int i = 0; i < 30; ++i) {
    VESK::JsonRpcServer server(dir.Ipc("api"));
    server.Start();
    ASSERT_NE(RpcText(dir.Ipc("api"), kCall).find("-32601"), std::string::npos) << i;
    const auto start = std::chrono::steady_clock::now();
    server.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500)) << i;
  }
}

TEST_F(JsonRpcServerTest, AStubMayStopItsOwnServer) {
  struct Stopper : VESK::JsonRpcStub {
    explicit Stopper(VESK::JsonRpcServer& s) : JsonRpcStub("Stop"), server(s) {}
    bool Invoke(json&, json&) override {
      server.Stop();  // only sets the flag: the worker cannot join itself
      return true;
    }
    VESK::JsonRpcServer& server;
  };
  server.Add(std::make_shared<Stopper>(server));
  EXPECT_EQ(RpcText(url, R"({"id":1,"jsonrpc":"2.0","method":"Stop.Now"})"), "null");
  server.Stop();  // joins the worker that ended itself
  EXPECT_EQ(RpcText(url, kCall, 300ms), "");
}
