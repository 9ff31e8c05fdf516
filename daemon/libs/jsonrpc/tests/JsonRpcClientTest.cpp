// The client against raw reply sockets (for texts our server never sends),
// against our server in this process, and against a server in another process.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <nlohmann/json.hpp>

#include "IpcTestUtil.h"
#include "JsonRpcClient.h"
#include "JsonRpcServer.h"
#include "LogCapture.h"
#include "TestSupport.h"

using namespace pemrix::testing;
using nlohmann::json;

namespace {

// Answers each request with a template in which "$ID" becomes the request id.
std::function<std::string(const std::string&)> Answer(const std::string& reply) {
  return [reply](const std::string& request) {
    std::string text = reply;
    const auto at = text.find("$ID");
    if (at != std::string::npos) text.replace(at, 3, json::parse(request)["id"].dump());
    return text;
  };
}

// Echoes the request's id as its result, after an optional delay.
class SlowStub : public VESK::JsonRpcStub {
 public:
  SlowStub() : JsonRpcStub("Slow") {}
  bool Invoke(json& request, json& response) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs.load()));
    response = {{"jsonrpc", "2.0"}, {"id", request["id"]}, {"result", request["id"]}};
    return true;
  }
  std::atomic<int> delayMs{0};
};

}  // namespace

TEST(JsonRpcClient, JudgesEveryReplyShape) {
  struct Case {
    const char* reply;
    bool ok;
    json result;
    const char* errorLog;  // nullptr: nothing may be logged
  };
  const json untouched = "untouched";
  const std::vector<Case> cases = {
      {R"({"jsonrpc":"2.0","id":$ID})", true, nullptr, nullptr},
      {R"({"jsonrpc":"2.0","id":$ID,"result":[1,2]})", true, json::array({1, 2}), nullptr},
      {R"({"jsonrpc":"2.0","id":1,"result":5})", false, untouched, nullptr},  // id of an earlier request
      {R"({"jsonrpc":"2.0","id":"$ID","result":5})", false, untouched, nullptr},
      {R"({"jsonrpc":"1.0","id":$ID,"result":5})", false, untouched, nullptr},
      {R"([{"jsonrpc":"2.0","id":$ID}])", false, untouched, nullptr},
      {R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"Invalid JSON-RPC request."}})", false, untouched,
       nullptr},
      {R"({"jsonrpc":"2.0","id":$ID,"error":{"code":1,"message":"m"},"result":5})", false, untouched,
       R"("error":{"code":1,"message":"m"})"},
      {R"({"jsonrpc":"2.0","id":$ID} trailing)", false, untouched, "parse error"},
      {"", false, untouched, nullptr},
  };
  TempDir dir;
  const std::string url = dir.Ipc("api");
  std::atomic<size_t> next{0};  // the case being run; the replier answers with its text
  RawReplier peer(url, [&](const std::string& request) {
    const size_t i = next;
    return Answer(cases[i < cases.size() ? i : 0].reply)(request);
  });
  VESK::JsonRpcClient client(url);
  EXPECT_FALSE(client.IsOpen());  // the first Invoke connects
  for (; next < cases.size(); ++next) {
    SCOPED_TRACE(cases[next].reply);
    LogCapture log;
    json result = untouched;
    EXPECT_EQ(client.Invoke("M", nullptr, result), cases[next].ok);
    EXPECT_EQ(result, cases[next].result);
    if (cases[next].errorLog)
      EXPECT_TRUE(log.Contains(cases[next].errorLog, "ERROR"));
    else
      EXPECT_EQ(log.Count("", "ERROR"), 0);
    EXPECT_EQ(log.Count("Connect to " + url, "INFO"), next == 0 ? 1 : 0);  // one socket throughout
  }
  // Compact text, keys in order; failed calls still used up their ids.
  json result;
  EXPECT_TRUE(client.Invoke("ReadParameter", {{"device_id", "D"}, {"parameters", {"T"}}}, result));
  EXPECT_EQ(peer.Requests().front(), R"({"id":1,"jsonrpc":"2.0","method":"M","params":null})");
  EXPECT_EQ(peer.Requests().back(),
            R"({"id":11,"jsonrpc":"2.0","method":"ReadParameter","params":{"device_id":"D","parameters":["T"]}})");
}

TEST(JsonRpcClient, TimesOutAndNeverTakesALateAnswerForTheNextCall) {
  TempDir dir;
  const std::string url = dir.Ipc("api");
  VESK::JsonRpcClient client(url);
  client.SetTimeout(200);
  json result;
  {
    // Nobody listens yet: the call ends at the time-out instead of blocking.
    LogCapture log;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.Invoke("Slow.Get", nullptr, result));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(log.Contains("'nn_recv' failed! ", "ERROR"));
  }

  VESK::JsonRpcServer server(url);
  auto stub = std::make_shared<SlowStub>();
  server.Add(stub);
  server.Start();
  stub->delayMs = 600;  // answers call 2 long after the client gave up on it
  EXPECT_FALSE(client.Invoke("Slow.Get", nullptr, result));
  stub->delayMs = 0;
  client.SetTimeout(3000);
  ASSERT_TRUE(client.Invoke("Slow.Get", nullptr, result));
  EXPECT_EQ(result, 3);  // the answer to call 3, not the late one to call 2
  ASSERT_TRUE(client.Invoke("Slow.Get", nullptr, result));
  EXPECT_EQ(result, 4);
  server.Stop();

  LogCapture log;
  client.SetTimeout(0);  // refused: keeps the bounded wait
  EXPECT_TRUE(log.Contains("time-out refused", "ERROR"));
}

TEST(JsonRpcClient, TalksToAServerInAnotherProcess) {
  TempDir dir;
  const std::string url = dir.Ipc("api");
  Process peer({{BinPath("pemrix_ipc_test_peer"), "serve", url}, "", {}, dir.File("peer.log")});
  ASSERT_TRUE(peer.Start());
  VESK::JsonRpcClient client(url);
  json result;
  const json params = {{"device_id", "D"}, {"parameters", {"T", 2.5, nullptr}}};
  ASSERT_TRUE(client.Invoke("Echo.Read", params, result));
  EXPECT_EQ(result, params);

  LogCapture log;
  EXPECT_FALSE(client.Invoke("Nope.Read", params, result));
  EXPECT_TRUE(log.Contains(R"({"error":{"code":-32601,"message":"'Nope' Object not found."},"id":2,"jsonrpc":"2.0"})",
                           "ERROR"));
  ASSERT_TRUE(peer.Stop(SIGTERM, std::chrono::seconds(5)));  // the worker ends once the library is terminated
  EXPECT_EQ(peer.ExitCode(), 0);
  const std::string output = peer.Output();
  EXPECT_NE(output.find("Json RPC Server DoWork Exit!"), std::string::npos);
  // A terminated library fails every receive at once: one line, no spinning.
  const auto first = output.find("'nn_recv' failed!");
  EXPECT_TRUE(first == std::string::npos || output.find("'nn_recv' failed!", first + 1) == std::string::npos);
}
