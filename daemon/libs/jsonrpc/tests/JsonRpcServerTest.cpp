// The server over a real reply socket, driven by raw request texts.
#include <gtest/gtest.h>
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>

#include <chrono>
#include <future>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "JsonRpcServer.h"
#include "LogCapture.h"
#include "TestSupport.h"

using namespace pemrix::testing;
using nlohmann::json;

namespace {

// Sends text on a fresh request socket; the reply text, or "<no reply>".
std::string RawRequest(const std::string& url, const std::string& text, int timeoutMs = 3000) {
  const int s = nn_socket(AF_SP, NN_REQ);
  nn_setsockopt(s, NN_SOL_SOCKET, NN_RCVTIMEO, &timeoutMs, sizeof(timeoutMs));
  std::string reply = "<no reply>";
  char* data = nullptr;
  int n = -1;
  if (nn_connect(s, url.c_str()) >= 0 && nn_send(s, text.data(), text.size(), 0) >= 0 &&
      (n = nn_recv(s, &data, NN_MSG, 0)) >= 0) {
    reply.assign(data, n);
    nn_freemsg(data);
  }
  nn_close(s);
  return reply;
}

const char* const kCall = R"({"id":1,"jsonrpc":"2.0","method":"A.B"})";

// Answers with the whole request as result (throws when params is "throw",
// answers bytes that are not UTF-8 when it is "latin1"); counts notifications.
class RecordingStub : public VESK::JsonRpcStub {
 public:
  explicit RecordingStub(const std::string& name) : JsonRpcStub(name) {}
  bool Invoke(json& request, json& response) override {
    if (request["params"] == "throw") throw std::runtime_error("stub broke");
    response = {{"jsonrpc", "2.0"}, {"id", request["id"]}, {"result", request}};
    if (request["params"] == "latin1") response["result"] = "Stra\xdf";
    return true;
  }
  bool Invoke(json&) override {
    ++notifications;
    return true;
  }
  int notifications = 0;
};

class JsonRpcServerTest : public ::testing::Test {
 protected:
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
  const std::string invalid = R"({"error":{"code":-32600,"message":"Invalid JSON-RPC request."},"id":null,)"
                              R"("jsonrpc":"2.0"})";
  const std::string parseError = R"({"error":{"code":-32700,"message":"Parse error."},"id":null,"jsonrpc":"2.0"})";
  const std::string unserialisable = R"({"error":{"code":-32603,"message":"Internal error."},"id":4,"jsonrpc":"2.0"})";
  const std::string latin1 = R"({"id":4,"jsonrpc":"2.0","method":"Obj.Read","params":"latin1"})";
  // Served in order: a bad message or a failing stub never ends the loop.
  const std::vector<std::pair<std::string, std::string>> exchanges = {
      {"{not json", parseError},
      {"", parseError},
      {std::string(100000, '[') + std::string(100000, ']'), parseError},
      {latin1, unserialisable},
      {"[" + latin1 + "," + kCall + "]", "[" + unserialisable +
                                             R"(,{"error":{"code":-32601,"message":"'A' Object )"
                                             R"(not found."},"id":1,"jsonrpc":"2.0"}])"},
      {R"({"id":9,"jsonrpc":"2.0","method":"Obj.Read","params":"throw"})",
       R"({"error":{"code":-32603,"message":"Internal error."},"id":9,"jsonrpc":"2.0"})"},
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
      {R"({"id":7,"jsonrpc":"2.0","method":"Obj.Read","params":[1]})",
       R"({"id":7,"jsonrpc":"2.0","result":{"id":7,"jsonrpc":"2.0","method":"Obj.Read","params":[1]}})"},
  };
  LogCapture log;
  for (const auto& [request, reply] : exchanges) EXPECT_EQ(RawRequest(url, request), reply) << request;
  EXPECT_EQ(stub->notifications, 2);  // one alone, one in the batch
  for (const char* line : {"key 'jsonrpc' error.", "key 'id' error.", "key 'method' error.", "stub broke",
                           "'nn_recv' bytes == 0", "nested deeper than", "Reply cannot be serialised! id 4"})
    EXPECT_TRUE(log.Contains(line, "ERROR")) << line;
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
    ASSERT_NE(RawRequest(url, kCall).find("-32601"), std::string::npos);
    const auto start = std::chrono::steady_clock::now();
    server.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  }

  // Run on a thread of the caller's, stopped from another thread; then the
  // same server started again, and then served by RunOnce, which never blocks.
  VESK::JsonRpcServer server(url);
  std::thread runner([&] { server.Run(); });
  EXPECT_NE(RawRequest(url, kCall), "<no reply>");
  server.Stop();
  runner.join();
  server.Start();
  EXPECT_NE(RawRequest(url, kCall), "<no reply>");
  server.Stop();
  auto reply = std::async(std::launch::async, [&] { return RawRequest(url, kCall); });
  EXPECT_TRUE(WaitUntil(
      [&] {
        server.RunOnce();
        return reply.wait_for(0s) == std::future_status::ready;
      },
      3s));
  EXPECT_NE(reply.get().find("-32601"), std::string::npos);
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
  EXPECT_EQ(RawRequest(url, R"({"id":1,"jsonrpc":"2.0","method":"Stop.Now"})"), "null");
  server.Stop();  // joins the worker that ended itself
  EXPECT_EQ(RawRequest(url, kCall, 300), "<no reply>");
}
