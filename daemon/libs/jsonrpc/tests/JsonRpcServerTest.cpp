// The server over a real reply socket, driven by raw request texts.
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "IpcTestUtil.h"
#include "JsonRpcClient.h"
#include "JsonRpcServer.h"
#include "LogCapture.h"
#include "TestSupport.h"

using namespace pemrix::testing;
using nlohmann::json;

namespace {

// Records the requests it gets and answers with the whole request as result;
// a request whose params is "throw" makes it throw.
class RecordingStub : public VESK::JsonRpcStub {
 public:
  explicit RecordingStub(const std::string& name) : JsonRpcStub(name) {}
  bool Invoke(json& request, json& response) override {
    if (request["params"] == "throw") throw std::runtime_error("stub broke");
    calls.push_back(request);
    response = {{"jsonrpc", "2.0"}, {"id", request["id"]}, {"result", request}};
    return true;
  }
  bool Invoke(json& request) override {
    notifications.push_back(request);
    return true;
  }
  std::vector<json> calls, notifications;
};

class JsonRpcServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.Add(stub);
    server.Start();
  }
  void TearDown() override { server.Stop(); }

  TempDir dir;
  const std::string url = dir.Ipc("api");
  VESK::JsonRpcServer server{url};
  std::shared_ptr<RecordingStub> stub = std::make_shared<RecordingStub>("Obj");
};

}  // namespace

TEST_F(JsonRpcServerTest, AnswersEveryKindOfRequestAndKeepsServing) {
  const std::string invalid = R"({"error":{"code":-32600,"message":"Invalid JSON-RPC request."},"id":null,)"
                              R"("jsonrpc":"2.0"})";
  const std::vector<std::pair<std::string, std::string>> exchanges = {
      {R"({"id":7,"jsonrpc":"2.0","method":"Obj.Read","params":[1]})",
       R"({"id":7,"jsonrpc":"2.0","result":{"id":7,"jsonrpc":"2.0","method":"Obj.Read","params":[1]}})"},
      {R"({"id":"x","jsonrpc":"2.0","method":"Nope.Read"})",
       R"({"error":{"code":-32601,"message":"'Nope' Object not found."},"id":"x","jsonrpc":"2.0"})"},
      {R"({"id":1,"jsonrpc":"2.0","method":"Read"})", "null"},  // default stub leaves the response null
      {R"({"jsonrpc":"2.0","method":"Obj.Tick"})", "null"},     // notification
      {R"({"id":1,"jsonrpc":"1.0","method":"Obj.Read"})", invalid},
      {R"({"id":{},"jsonrpc":"2.0","method":"Obj.Read"})", invalid},
      {R"({"id":1,"jsonrpc":"2.0","method":5})", invalid},
      {"42", invalid},
      {R"([{"id":1,"jsonrpc":"2.0","method":"Nope.A"},{"jsonrpc":"2.0","method":"Obj.B"},{"id":3,"jsonrpc":"2.0"}])",
       R"([{"error":{"code":-32601,"message":"'Nope' Object not found."},"id":1,"jsonrpc":"2.0"},null,)" + invalid +
           "]"},
      {"{not json", R"({"error":{"code":-32700,"message":"Parse error."},"id":null,"jsonrpc":"2.0"})"},
      {R"({"id":9,"jsonrpc":"2.0","method":"Obj.Read","params":"throw"})",
       R"({"error":{"code":-32603,"message":"Internal error."},"id":9,"jsonrpc":"2.0"})"},
  };
  LogCapture log;
  for (const auto& [request, reply] : exchanges) EXPECT_EQ(RawRequest(url, request), reply) << request;
  EXPECT_EQ(stub->calls.size(), 1u);
  EXPECT_EQ(stub->notifications.size(), 2u);
  for (const char* line : {"key 'jsonrpc' error.", "key 'id' error.", "key 'method' error.", "stub broke"})
    EXPECT_TRUE(log.Contains(line, "ERROR")) << line;

  VESK::JsonRpcClient client(url);
  json result;
  ASSERT_TRUE(client.Invoke("Obj.Read", 1, result));
  EXPECT_EQ(result["params"], 1);
}

TEST_F(JsonRpcServerTest, AddAndRemoveWhileTheWorkerServes) {
  std::atomic<bool> done{false};
  std::atomic<int> answered{0}, missing{0};
  std::thread caller([&] {
    for (int i = 0; i < 200; ++i) {
      json reply = json::parse(RawRequest(url, R"({"id":1,"jsonrpc":"2.0","method":"Other.Read"})"));
      if (reply.contains("result")) ++answered;
      if (reply.contains("error") && reply["error"]["code"] == -32601) ++missing;
    }
    done = true;
  });
  auto other = std::make_shared<RecordingStub>("Other");
  while (!done) {
    server.Add(other);
    server.Remove("Other");
  }
  caller.join();
  EXPECT_EQ(answered + missing, 200);  // every call got one of the two valid answers
}

TEST(JsonRpcServer, StopEndsABlockedLoopPromptlyEveryTime) {
  TempDir dir;
  const std::string url = dir.Ipc("api");
  for (int i = 0; i < 30; ++i) {
    SCOPED_TRACE(i);
    VESK::JsonRpcServer server(url);
    server.Start();
    ASSERT_NE(RawRequest(url, R"({"id":1,"jsonrpc":"2.0","method":"A.B"})").find("-32601"), std::string::npos);
    const auto start = std::chrono::steady_clock::now();
    server.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  }

  // Run on a thread of the caller's, stopped from another thread; then the
  // same server started again.
  VESK::JsonRpcServer server(url);
  std::thread runner([&] { server.Run(); });
  EXPECT_NE(RawRequest(url, R"({"id":1,"jsonrpc":"2.0","method":"A.B"})"), "<no reply>");
  server.Stop();
  runner.join();
  server.Start();
  EXPECT_NE(RawRequest(url, R"({"id":1,"jsonrpc":"2.0","method":"A.B"})"), "<no reply>");
}

TEST(JsonRpcServer, AStubMayStopItsOwnServer) {
  struct Stopper : VESK::JsonRpcStub {
    explicit Stopper(VESK::JsonRpcServer& s) : JsonRpcStub("Stop"), server(s) {}
    bool Invoke(json& request, json& response) override {
      server.Stop();
      response = {{"jsonrpc", "2.0"}, {"id", request["id"]}, {"result", true}};
      return true;
    }
    VESK::JsonRpcServer& server;
  };
  TempDir dir;
  VESK::JsonRpcServer server(dir.Ipc("api"));
  server.Add(std::make_shared<Stopper>(server));
  server.Start();
  EXPECT_NE(RawRequest(dir.Ipc("api"), R"({"id":1,"jsonrpc":"2.0","method":"Stop.Now"})"), "<no reply>");
  server.Stop();  // joins the worker that ended itself
  EXPECT_EQ(RawRequest(dir.Ipc("api"), R"({"id":2,"jsonrpc":"2.0","method":"A"})", 300), "<no reply>");
}

TEST(JsonRpcServer, RunOnceAnswersWhatIsWaitingWithoutBlocking) {
  TempDir dir;
  VESK::JsonRpcServer server(dir.Ipc("api"));
  std::atomic<bool> replied{false};
  std::thread caller([&] {
    EXPECT_NE(RawRequest(dir.Ipc("api"), R"({"id":1,"jsonrpc":"2.0","method":"A.B"})").find("-32601"),
              std::string::npos);
    replied = true;
  });
  EXPECT_TRUE(WaitUntil(
      [&] {
        server.RunOnce();
        return replied.load();
      },
      std::chrono::seconds(3)));
  caller.join();
}
