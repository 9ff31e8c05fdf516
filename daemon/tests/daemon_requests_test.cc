// Management requests over MQTT that touch no fixed file: replies byte for
// byte, ordering, ignored payloads, restart through the host service, and
// uploads into uniquely named files in /tmp.
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

#include "daemon_harness.h"

namespace pemrix::testing {
namespace {

using json = nlohmann::json;

// A name in /tmp private to this run; removed again by the guard.
struct TmpName {
  std::string name;
  explicit TmpName(const std::string& tag) : name("pemrix-upload-" + std::to_string(getpid()) + "-" + tag) {}
  // Also where a name that escaped /tmp would have landed.
  ~TmpName() { RunShell("rm -rf '/tmp/" + name + "' '/" + name + "'"); }
  std::string Path() const { return "/tmp/" + name; }
};

json Upload(const std::string& name, json size, int id) {
  return {{"command", "upload_file"}, {"id", id}, {"filename", name}, {"size", size}};
}

json Reply(const std::string& command, json id, int result) {
  return {{"command", command}, {"id", id}, {"result", result}};
}

TEST(DaemonRequests, TestEchoAndRepliesAreExactBytes) {
  DaemonHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  // The echo is the request itself, pretty with indent 0, plus a zero byte.
  EXPECT_EQ(std::string("{\n\"command\": \"test\",\n\"id\": 1\n}") + '\0', h.Call({{"command", "test"}, {"id", 1}}));
}

TEST(DaemonRequests, InArrivalOrderAndIgnoredPayloadsAreUnanswered) {
  DaemonHarness h;
  ASSERT_TRUE(h.StartHost("sleep 0.3; touch '" + h.dir.File("restarted") + "'"));
  ASSERT_TRUE(h.Start()) << h.Log();

  ASSERT_TRUE(h.Send(std::string()));                           // empty
  ASSERT_TRUE(h.Send(std::string("not json")));                 // not JSON
  ASSERT_TRUE(h.Send(std::string(R"({"command":"test"} x)")));  // text after the value
  ASSERT_TRUE(h.Send(json{{"command", "Test"}, {"id", 2}}));    // other letter case
  ASSERT_TRUE(h.Send(json{{"command", "reboot"}, {"id", 3}}));  // unknown
  ASSERT_TRUE(h.Send(json{{"id", 4}}));                         // no command
  ASSERT_TRUE(h.Send(json::array({1})));                        // not an object
  // A burst: the restart blocks in the host service for a while; the test
  // request behind it must not start before it is done.
  ASSERT_TRUE(h.Send(json{{"command", "restart"}, {"id", 10}}));
  ASSERT_TRUE(h.Send(json{{"command", "test"}, {"id", 11}}));
  ASSERT_TRUE(h.Send(json{{"command", "test"}, {"id", 12}}));

  auto first = h.Reply();
  ASSERT_TRUE(first) << h.Log();
  EXPECT_EQ(WireReply(Reply("restart", 10, 0)), first->payload);
  auto second = h.Reply();
  ASSERT_TRUE(second);
  EXPECT_TRUE(FileExists(h.dir.File("restarted"))) << "next request started before the restart was done";
  EXPECT_EQ(WireReply({{"command", "test"}, {"id", 11}}), second->payload);
  auto third = h.Reply();
  ASSERT_TRUE(third);
  EXPECT_EQ(WireReply({{"command", "test"}, {"id", 12}}), third->payload);
  EXPECT_FALSE(h.Reply(300ms)) << "an ignored request was answered";

  // The service survived malformed requests and says why on both channels.
  std::string log = h.Log();
  EXPECT_NE(std::string::npos, log.find("ERROR [json.exception.parse_error")) << log;
  EXPECT_NE(std::string::npos, log.find("ERROR Request failed! ")) << log;
  EXPECT_TRUE(h.daemon->Running());
}

TEST(DaemonRequests, RestartReachesHostServiceAfterTheReply) {
  DaemonHarness h;
  // The host's restart waits (4 s at most) for the test to have seen the
  // reply: a reply held back until the restart is over fails the test.
  const std::string ack = h.dir.File("ack"), restarted = h.dir.File("restarted");
  ASSERT_TRUE(h.StartHost("for i in $(seq 40); do if [ -e '" + ack + "' ]; then touch '" + restarted +
                          "'; exit 0; fi; sleep 0.1; done; exit 1"));
  ASSERT_TRUE(h.Start()) << h.Log();
  ASSERT_TRUE(h.Send(json{{"command", "restart"}}));
  auto reply = h.Reply(3s);
  ASSERT_TRUE(reply) << "no reply while the host restarts";
  // Without an id the reply's id is null.
  EXPECT_EQ(WireReply(Reply("restart", nullptr, 0)), reply->payload);
  WriteFile(ack, "");
  ASSERT_TRUE(WaitUntil([&] { return FileExists(restarted); }, 5s)) << h.host->Output();
  EXPECT_NE(std::string::npos, h.host->Output().find(R"("method":"Restart","params":null)"));
  EXPECT_EQ(WireReply({{"command", "test"}, {"id", 2}}), h.Call({{"command", "test"}, {"id", 2}}));
}

TEST(DaemonRequests, RestartWithoutHostServiceTimesOutAndKeepsServing) {
  DaemonHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  EXPECT_EQ(WireReply(Reply("restart", 7, 0)), h.Call({{"command", "restart"}, {"id", 7}}));
  EXPECT_TRUE(h.WaitLog("ERROR 'nn_recv' failed! ", 15s)) << h.Log();
  EXPECT_EQ(WireReply({{"command", "test"}, {"id", 8}}), h.Call({{"command", "test"}, {"id", 8}}));
}

TEST(DaemonRequests, UploadInChunksAndTwoInARow) {
  DaemonHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  TmpName a("a"), b("b"), c("c");

  // 10 bytes announced, 12 sent in three messages: all 12 are written and
  // the file is closed after the third.
  EXPECT_EQ(WireReply(Reply("upload_file", 1, 0)), h.Call(Upload(a.name, 10, 1)));
  for (const char* part : {"0123", "4567", "89ab"}) ASSERT_TRUE(h.probe->Publish(h.Topic("receive"), part));
  ASSERT_TRUE(h.WaitLog("INFO Save to " + a.Path())) << h.Log();
  EXPECT_EQ("0123456789ab", ReadFile(a.Path()));

  // A second announcement abandons the first upload where it stands.
  EXPECT_EQ(WireReply(Reply("upload_file", 2, 0)), h.Call(Upload(b.name, 8, 2)));
  ASSERT_TRUE(h.probe->Publish(h.Topic("receive"), "part"));
  EXPECT_EQ(WireReply(Reply("upload_file", 3, 0)), h.Call(Upload(c.name, 3, 3)));
  EXPECT_EQ("part", ReadFile(b.Path()));  // closed as far as it was written
  ASSERT_TRUE(h.probe->Publish(h.Topic("receive"), "xyz"));
  ASSERT_TRUE(h.WaitLog("INFO Save to " + c.Path())) << h.Log();
  EXPECT_EQ("xyz", ReadFile(c.Path()));
  EXPECT_EQ("part", ReadFile(b.Path()));
  EXPECT_EQ(std::string::npos, h.Log().find("Save to " + b.Path()));

  // Data with no upload in progress goes nowhere.
  ASSERT_TRUE(h.probe->Publish(h.Topic("receive"), "stray"));
  EXPECT_EQ(WireReply({{"command", "test"}, {"id", 4}}), h.Call({{"command", "test"}, {"id", 4}}));
  EXPECT_EQ("xyz", ReadFile(c.Path()));
}

TEST(DaemonRequests, UploadRejectsNamesAndReportsUncreatableFile) {
  DaemonHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  TmpName escaped("escaped"), dir("dir"), zero("zero");

  json invalid = Reply("upload_file", 1, 1);
  invalid["message"] = "Invalid file name!";
  const std::string names[] = {
      "", ".", "..", "../" + escaped.name, "sub/" + escaped.name, "/tmp/" + escaped.name, std::string("a\0b", 3)};
  for (const std::string& name : names) {
    SCOPED_TRACE(json(name).dump());
    EXPECT_EQ(WireReply(invalid), h.Call(Upload(name, 4, 1)));
    ASSERT_TRUE(h.probe->Publish(h.Topic("receive"), "data"));
  }
  EXPECT_EQ(WireReply({{"command", "test"}, {"id", 2}}), h.Call({{"command", "test"}, {"id", 2}}));
  EXPECT_FALSE(FileExists("/" + escaped.name));
  EXPECT_FALSE(FileExists(escaped.Path()));

  // The name is plain but no file can be made there: the reply says so.
  ASSERT_EQ(0, RunShell("mkdir '" + dir.Path() + "'"));
  json cannot = Reply("upload_file", 3, 1);
  cannot["message"] = "File cannot be created!";
  EXPECT_EQ(WireReply(cannot), h.Call(Upload(dir.name, 4, 3)));
  EXPECT_TRUE(IsDirectory(dir.Path()));

  // A size of 0 starts nothing and creates no file.
  EXPECT_EQ(WireReply(Reply("upload_file", 4, 0)), h.Call(Upload(zero.name, 0, 4)));
  ASSERT_TRUE(h.probe->Publish(h.Topic("receive"), "data"));
  EXPECT_EQ(WireReply({{"command", "test"}, {"id", 5}}), h.Call({{"command", "test"}, {"id", 5}}));
  EXPECT_FALSE(FileExists(zero.Path()));

  // A bad size type gets no reply, and the service goes on.
  ASSERT_TRUE(h.Send(Upload(zero.name, "4", 6)));
  EXPECT_EQ(WireReply({{"command", "test"}, {"id", 7}}), h.Call({{"command", "test"}, {"id", 7}}));
}

TEST(DaemonRequests, LargeUploadInChunksArrivesIntact) {
  DaemonHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  TmpName big("big");
  const size_t size = 6 * 1024 * 1024 + 123;
  std::string data(size, '\0');
  std::mt19937 random(42);
  for (char& ch : data) ch = static_cast<char>(random());

  EXPECT_EQ(WireReply(Reply("upload_file", 1, 0)), h.Call(Upload(big.name, size, 1)));
  const size_t chunk = 256 * 1024;
  for (size_t at = 0; at < size; at += chunk) ASSERT_TRUE(h.probe->Publish(h.Topic("receive"), data.substr(at, chunk)));
  ASSERT_TRUE(h.WaitLog("INFO Save to " + big.Path(), 60s)) << h.Log();
  const std::string written = ReadFile(big.Path());
  ASSERT_EQ(size, written.size());
  EXPECT_EQ(std::hash<std::string>{}(data), std::hash<std::string>{}(written));
  EXPECT_TRUE(data == written);
}

}  // namespace
}  // namespace pemrix::testing
