// The client against a raw reply socket, our server, and a server process.
#include <gtest/gtest.h>
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>
#include <signal.h>

#include <future>
#include <nlohmann/json.hpp>

#include "JsonRpcClient.h"
#include "JsonRpcServer.h"
#include "LogCapture.h"
#include "TestSupport.h"

using namespace pemrix::testing;
using nlohmann::json;

TEST(JsonRpcClient, JudgesEveryReplyShape) {
  const json untouched = "untouched";
  const struct {
    std::string reply;  // "$ID" becomes the request's id
    bool ok;
    json result;
    const char* errorLog;  // nullptr: nothing may be logged
  } cases[] = {
      {R"({"jsonrpc":"2.0","id":$ID})", true, nullptr, nullptr},
      {R"({"jsonrpc":"2.0","id":$ID,"result":[1,2]})", true, json::array({1, 2}), nullptr},
      {R"({"jsonrpc":"2.0","id":1,"result":5})", false, untouched, nullptr},  // id of an earlier request
      {R"({"jsonrpc":"2.0","id":"$ID","result":5})", false, untouched, nullptr},
      {R"({"jsonrpc":"1.0","id":$ID,"result":5})", false, untouched, nullptr},
      {R"([{"jsonrpc":"2.0","id":$ID}])", false, untouched, nullptr},
      {R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"m"}})", false, untouched, nullptr},
      {R"({"jsonrpc":"2.0","id":$ID,"error":{"code":1,"message":"m"},"result":5})", false, untouched,
       R"("error":{"code":1,"message":"m"})"},
      {R"({"jsonrpc":"2.0","id":$ID} trailing)", false, untouched, "parse error"},
      {"", false, untouched, "empty reply"},
      {R"({"jsonrpc":"2.0","id":$ID,"result":)" + std::string(100000, '[') + std::string(100000, ']') + "}", false,
       untouched, "nested deeper"},
  };
  TempDir dir;
  const int replier = nn_socket(AF_SP, NN_REP), wait = 3000;
  nn_setsockopt(replier, NN_SOL_SOCKET, NN_RCVTIMEO, &wait, sizeof(wait));
  ASSERT_GE(nn_bind(replier, dir.Ipc("api").c_str()), 0);
  VESK::JsonRpcClient client(dir.Ipc("api"));
  std::vector<std::string> requests;
  auto call = [&](const std::string& method, const json& params, std::string reply, json& result) {
    auto invoke = std::async(std::launch::async, [&] { return client.Invoke(method, params, result); });
    char* data = nullptr;
    const int n = nn_recv(replier, &data, NN_MSG, 0);
    if (n >= 0) {
      requests.emplace_back(data, n);
      nn_freemsg(data);
      if (auto at = reply.find("$ID"); at != std::string::npos)
        reply.replace(at, 3, json::parse(requests.back())["id"].dump());
      nn_send(replier, reply.data(), reply.size(), 0);
    }
    return invoke.get();
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply.substr(0, 80));
    LogCapture log;
    json result = untouched;
    EXPECT_EQ(call("M", nullptr, c.reply, result), c.ok);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(log.Count(c.errorLog ? c.errorLog : "", "ERROR"), c.errorLog ? 1 : 0);
  }
  // Compact text, keys in order; failed calls still used up their ids.
  json result;
  EXPECT_TRUE(call("ReadParameter", {{"device_id", "D"}, {"parameters", {"T"}}}, cases[0].reply, result));
  nn_close(replier);
  EXPECT_EQ(requests.front(), R"({"id":1,"jsonrpc":"2.0","method":"M","params":null})");
  EXPECT_EQ(requests.back(),
            R"({"id":12,"jsonrpc":"2.0","method":"ReadParameter","params":{"device_id":"D","parameters":["T"]}})");
}

TEST(JsonRpcClient, TimesOutAndNeverTakesALateAnswerForTheNextCall) {
  struct SlowStub : VESK::JsonRpcStub {  // answers the request's id, after a delay
    SlowStub() : JsonRpcStub("Slow") {}
    bool Invoke(json& request, json& response) override {
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs.load()));
      response = {{"jsonrpc", "2.0"}, {"id", request["id"]}, {"result", request["id"]}};
      return true;
    }
    std::atomic<int> delayMs{0};
  };
  TempDir dir;
  LogCapture log;
  const std::string url = dir.Ipc("api");
  VESK::JsonRpcClient client(url);
  client.SetTimeout(200);
  json result;
  // Nobody listens yet: the call ends at the time-out, and its request is
  // gone with its socket, so a peer that binds later never receives it.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.Invoke("Slow.Get", nullptr, result));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  const int late = nn_socket(AF_SP, NN_REP), wait = 700;
  nn_setsockopt(late, NN_SOL_SOCKET, NN_RCVTIMEO, &wait, sizeof(wait));
  ASSERT_GE(nn_bind(late, url.c_str()), 0);
  char* data = nullptr;
  EXPECT_LT(nn_recv(late, &data, NN_MSG, 0), 0);
  nn_close(late);

  VESK::JsonRpcServer server(url);
  auto stub = std::make_shared<SlowStub>();
  server.Add(stub);
  server.Start();
  stub->delayMs = 600;  // answers call 2 long after the client gave up on it
  EXPECT_FALSE(client.Invoke("Slow.Get", nullptr, result));
  stub->delayMs = 0;
  client.SetTimeout(3000);
  for (int id : {3, 4}) {  // the answer to this call, never the late one to call 2
    ASSERT_TRUE(client.Invoke("Slow.Get", nullptr, result));
    EXPECT_EQ(result, id);
  }
  EXPECT_EQ(log.Count("Connect to ", "INFO"), 1);
  EXPECT_EQ(log.Count("(" + url + ", Slow.Get): service unreachable", "ERROR"), 1);  // the late answer folded in
  EXPECT_EQ(log.Count("JSON-RPC service at " + url + " answers again", "INFO"), 1);
}

TEST(JsonRpcClient, TalksToAServerInAnotherProcess) {
  TempDir dir;
  WriteFile(dir.File("control.json"), R"({"values":{"D":{"T":2.5,"U":[1,null]}}})");
  Process peer({{BinPath("pemrix_ipc_test_peer"), dir.Ipc("api"), dir.File("control.json")}, "", {}, dir.File("log")});
  ASSERT_TRUE(peer.Start());
  VESK::JsonRpcClient client(dir.Ipc("api"));
  json result;
  const json params = {{"device_id", "D"}, {"parameters", {"T", "U", "V"}}};
  ASSERT_TRUE(client.Invoke("ReadParameter", params, result));
  EXPECT_EQ(result, json::parse(R"({"values":{"T":2.5,"U":[1,null]}})"));
  EXPECT_FALSE(client.Invoke("Nope.Read", params, result));
  ASSERT_TRUE(peer.Stop(SIGTERM, 5s));  // the worker ends once the library is terminated
  EXPECT_EQ(peer.ExitCode(), 0);
  // A terminated library fails every receive at once: one line, no spinning.
  const std::string output = peer.Output();
  EXPECT_EQ(output.find("'nn_recv' failed!"), output.rfind("'nn_recv' failed!")) << output;
}
