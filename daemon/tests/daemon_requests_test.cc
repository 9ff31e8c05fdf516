// Management requests that touch no fixed file, and uploads into /tmp.
#include <gtest/gtest.h>
#include <unistd.h>

#include "daemon_harness.h"

using namespace pemrix::testing;
namespace {

// Removed also where it would land had it escaped /tmp.
struct TmpName {
  std::string name;
  explicit TmpName(const std::string& tag) : name("pemrix-upload-" + std::to_string(getpid()) + "-" + tag) {}
  ~TmpName() { RunShell("rm -rf '/tmp/" + name + "' '/" + name + "'"); }
  std::string Path() const { return "/tmp/" + name; }
};

json Upload(const std::string& name, json size, int id) {
  return {{"command", "upload_file"}, {"id", id}, {"filename", name}, {"size", size}};
}

std::string Answer(const std::string& command, json id, int result, const char* message = nullptr) {
  json reply = {{"command", command}, {"id", id}, {"result", result}};
  if (message) reply["message"] = message;
  return WireReply(reply);
}

TEST(DaemonRequests, RestartAfterItsReplyInArrivalOrderAndNeverDeliveredLate) {
  DaemonHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  // Without a host service the call times out; one bound later never receives it.
  EXPECT_EQ(Answer("restart", 7, 0), h.Call({{"command", "restart"}, {"id", 7}}));
  EXPECT_TRUE(h.WaitLog("ERROR 'nn_recv' failed! ", 15s)) << h.Log();
  // The host's restart waits (4 s at most) for the test to have seen the
  // reply: a reply held back until the restart is over fails the test.
  const std::string ack = h.dir.File("ack"), restarted = h.dir.File("restarted");
  ASSERT_TRUE(h.StartHost("for i in $(seq 40); do if [ -e '" + ack + "' ]; then touch '" + restarted +
                          "'; exit 0; fi; sleep 0.1; done; exit 1"));
  EXPECT_FALSE(WaitUntil([&] { return h.host->Output().find("\"Restart\"") != std::string::npos; }, 2s))
      << h.host->Output();
  EXPECT_EQ(std::string("{\n\"command\": \"test\",\n\"id\": 1\n}") + '\0', h.Call({{"command", "test"}, {"id", 1}}));

  // Requests right behind keep the link busy during the reply's handshake; they run after the restart.
  for (const json& request :
       {json{{"command", "restart"}}, json{{"command", "test"}, {"id", 11}}, json{{"command", "test"}, {"id", 12}}})
    ASSERT_TRUE(h.Send(request.dump()));
  auto reply = h.Reply(3s);
  ASSERT_TRUE(reply) << "no reply while the host restarts\n" << h.Log();
  EXPECT_EQ(Answer("restart", nullptr, 0), reply->payload);
  EXPECT_FALSE(h.Reply(300ms)) << "the next request started before the restart was done";
  WriteFile(ack, "");
  for (int id : {11, 12}) {
    reply = h.Reply();
    ASSERT_TRUE(reply) << h.Log();
    EXPECT_TRUE(FileExists(restarted)) << h.host->Output();
    EXPECT_EQ(WireReply({{"command", "test"}, {"id", id}}), reply->payload);
  }
  EXPECT_NE(std::string::npos, h.host->Output().find(R"("method":"Restart","params":null)"));
}

// Serving(1) after each also shows that the dropped request got no reply.
TEST(DaemonRequests, UnusableAndHostileRequestsAreDroppedWithOneShortLine) {
  DaemonHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  const std::pair<std::string, std::string> rows[] = {
      {"", ""},
      {R"({"command":"test"} x)", "ERROR [json.exception.parse_error"},
      {R"({"command":"Test","id":2})", ""},
      {"[1]", ""},
      {R"({"command":5,"id":5})", "ERROR Request failed! "},
      {std::string(100000, '[') + std::string(100000, ']'), "ERROR JSON text nested deeper than 64 levels"},
      {"[\"" + std::string(50u << 20, 'x') + "\"]", "ERROR JSON text of 52428804 bytes exceeds the limit"},
      {"{\"command\":\"test\",\"id\":\"" + std::string(4000, 'x') + "\n", "ERROR [json.exception.parse_error"},
  };
  for (const auto& [payload, logged] : rows) {
    const size_t at = h.Log().size();
    ASSERT_TRUE(h.Send(payload));
    EXPECT_TRUE(h.Serving(1)) << h.Log().substr(at, 2000);
    EXPECT_NE(std::string::npos, h.Log().find(logged, at)) << h.Log().substr(at, 2000);
    EXPECT_LT(h.Log().size() - at, 2000u) << "the log is flooded";
  }
  std::string status = ReadFile("/proc/" + std::to_string(h.daemon->Pid()) + "/status");
  EXPECT_LT(std::stol(status.substr(status.find("VmHWM:") + 6)), 400 * 1024) << status;
}

TEST(DaemonRequests, UploadsInChunksInARowAndRefused) {
  DaemonHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  TmpName a("a"), b("b"), escaped("escaped"), planted("planted");
  // 10 bytes announced, 100 sent: the file holds exactly the 10.
  EXPECT_EQ(Answer("upload_file", 1, 0), h.Call(Upload(a.name, 10, 1)));
  for (const std::string& part : {std::string("0123"), std::string("4567"), "89" + std::string(92, 'x')})
    ASSERT_TRUE(h.SendData(part));
  ASSERT_TRUE(h.WaitLog("INFO Save to " + a.Path())) << h.Log();
  EXPECT_EQ("0123456789", ReadFile(a.Path()));

  // A refused announcement leaves the upload in progress untouched.
  EXPECT_EQ(Answer("upload_file", 2, 0), h.Call(Upload(b.name, 8, 2)));
  ASSERT_TRUE(h.SendData("part"));
  EXPECT_EQ(Answer("upload_file", 2, 1, "Invalid file name!"), h.Call(Upload("new\nline", 3, 2)));
  ASSERT_TRUE(h.SendData("more"));
  ASSERT_TRUE(h.WaitLog("INFO Save to " + b.Path())) << h.Log();
  EXPECT_EQ("partmore", ReadFile(b.Path()));

  // Only a plain file name is accepted; data with no upload in progress goes nowhere.
  for (const std::string& name : {std::string(), std::string("."), std::string(".."), "../" + escaped.name,
                                  "sub/" + escaped.name, "/tmp/" + escaped.name, std::string("a\0b", 3),
                                  std::string("forged\nINFO Save to /etc/passwd"), std::string("del\x7f")}) {
    SCOPED_TRACE(json(name).dump());
    EXPECT_EQ(Answer("upload_file", 4, 1, "Invalid file name!"), h.Call(Upload(name, 4, 4)));
    ASSERT_TRUE(h.SendData("data"));
  }
  // Sizes outside 0 .. 2^31-1, fractions and non-numbers: refused, never wrapped or clamped.
  for (const json& size :
       {json(4294967396), json(200000000000), json(2147483648), json(1e20), json(-1), json(1.5), json("100"), json()})
    EXPECT_EQ(Answer("upload_file", 3, 1, "Invalid size!"), h.Call(Upload(b.name, size, 3))) << size;
  EXPECT_TRUE(h.Serving(5));
  EXPECT_FALSE(FileExists("/" + escaped.name) || FileExists(escaped.Path()));
  EXPECT_EQ("partmore", ReadFile(b.Path()));

  // Something planted under the name would redirect or hold the write.
  const std::string target = h.dir.File("target");
  for (const std::string& plant :
       {"ln -s '" + target + "'", "ln '" + target + "'", std::string("mkfifo"), std::string("mkdir")}) {
    SCOPED_TRACE(plant);
    WriteFile(target, "target");
    ASSERT_EQ(0, RunShell("rm -rf '" + planted.Path() + "' && " + plant + " '" + planted.Path() + "'"));
    EXPECT_EQ(Answer("upload_file", 6, 1, "File cannot be created!"), h.Call(Upload(planted.name, 4, 6)));
    ASSERT_TRUE(h.SendData("EVIL"));
    EXPECT_TRUE(h.Serving(6));
    EXPECT_EQ("target", ReadFile(target));
  }
}

}  // namespace

// The broker dies during an upload and a burst of requests from a sender that dies with it.
TEST(DaemonRequests, AfterABrokerRestartNothingOfTheDeadLinkRunsAndTheNextUploadIsExact) {
  DaemonHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  TmpName a("a"), b("b");
  ASSERT_EQ(Answer("upload_file", 1, 0), h.Call(Upload(a.name, 1 << 24, 1)));
  // While the daemon waits for the absent host service, the burst piles up unread in its socket.
  ASSERT_EQ(Answer("restart", 3, 0), h.Call({{"command", "restart"}, {"id", 3}}));
  mosquitto* sender = mosquitto_new(nullptr, true, nullptr);  // publishes without waiting, as a busy client
  ASSERT_EQ(0, mosquitto_connect(sender, "127.0.0.1", h.broker.Port(), 60) + mosquitto_loop_start(sender));
  const std::string chunk(1000, 'x');
  for (int i = 0; i < 400; ++i) {
    const std::string request = json{{"command", "burst"}, {"id", i}}.dump();  // no reply, logged when run
    mosquitto_publish(sender, nullptr, h.Topic("receive").c_str(), int(chunk.size()), chunk.data(), 2, false);
    mosquitto_publish(sender, nullptr, h.Topic("request").c_str(), int(request.size()), request.data(), 2, false);
  }
  // The broker frozen: what the daemon reads now waits for a release that never comes.
  const std::string unread = "ss -Htnp dst 127.0.0.1:" + std::to_string(h.broker.Port()) +
                             " | grep 'pid=" + std::to_string(h.daemon->Pid()) +
                             ",' | awk '$2 > 0 {n++} END {exit n ? 0 : 1}'";
  ASSERT_TRUE(WaitUntil([&] { return RunShell(unread) == 0; }, 5s));
  h.broker.Freeze();
  EXPECT_TRUE(WaitUntil([&] { return RunShell(unread) != 0; }, 10s));
  h.broker.Kill();
  mosquitto_loop_stop(sender, true);
  mosquitto_destroy(sender);
  ASSERT_TRUE(h.broker.Start() && h.Connect());
  ASSERT_TRUE(h.WaitLog("ERROR Upload abandoned, link lost! /tmp/" + a.name, 20s)) << h.Log();
  ASSERT_TRUE(WaitUntil([&] { return h.Serving(1); }, 10s));  // everything received before the loss has run
  const size_t restarted = h.Log().size();

  std::string data;
  for (int i = 0; i < 200000; ++i) data += char(i % 251);
  ASSERT_EQ(Answer("upload_file", 2, 0), h.Call(Upload(b.name, data.size(), 2)));
  for (size_t at = 0; at < data.size(); at += 1000) ASSERT_TRUE(h.SendData(data.substr(at, 1000)));
  ASSERT_TRUE(h.WaitLog("INFO Save to " + b.Path())) << h.Log();
  EXPECT_TRUE(data == ReadFile(b.Path())) << "the upload is mixed with data of the dead link";
  for (int id = 2; id < 12; ++id) EXPECT_TRUE(h.Serving(id));
  EXPECT_EQ(std::string::npos, h.Log().find("\"burst\"", restarted)) << h.Log().substr(restarted);
  for (int i = 0; i < 400; ++i) {
    const std::string line = R"("command":"burst","id":)" + std::to_string(i) + "}";
    const size_t first = h.Log().find(line);
    EXPECT_TRUE(first == std::string::npos || h.Log().find(line, first + 1) == std::string::npos) << line;
  }
}
