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

// A name in /tmp private to this run; removed again by the guard, also where
// a name that escaped /tmp would have landed.
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

TEST(DaemonRequests, InArrivalOrderRestartAfterItsReplyAndIgnoredPayloads) {
  DaemonHarness h;
  // The host's restart waits (4 s at most) for the test to have seen the
  // reply: a reply held back until the restart is over fails the test.
  const std::string ack = h.dir.File("ack"), restarted = h.dir.File("restarted");
  ASSERT_TRUE(h.StartHost("for i in $(seq 40); do if [ -e '" + ack + "' ]; then touch '" + restarted +
                          "'; exit 0; fi; sleep 0.1; done; exit 1"));
  ASSERT_TRUE(h.Start()) << h.Log();
  // Empty, not JSON, text after the value, other letter case, unknown, no
  // command, not an object: none is answered.
  for (const std::string ignored : {"", "not json", R"({"command":"test"} x)", R"({"command":"Test","id":2})",
                                    R"({"command":"reboot","id":3})", R"({"id":4})", "[1]"})
    ASSERT_TRUE(h.Send(ignored));
  // The echo is the request itself, pretty with indent 0, plus a zero byte.
  EXPECT_EQ(std::string("{\n\"command\": \"test\",\n\"id\": 1\n}") + '\0', h.Call({{"command", "test"}, {"id", 1}}));

  // Requests arriving right behind the restart keep the daemon's link busy
  // while its reply still needs its handshake; they wait for the restart,
  // then run in order.
  ASSERT_TRUE(h.Send(json{{"command", "restart"}}));
  ASSERT_TRUE(h.Send(json{{"command", "test"}, {"id", 11}}));
  ASSERT_TRUE(h.Send(json{{"command", "test"}, {"id", 12}}));
  auto reply = h.Reply(3s);
  ASSERT_TRUE(reply) << "no reply while the host restarts\n" << h.Log();
  EXPECT_EQ(Answer("restart", nullptr, 0), reply->payload);  // without an id the reply's id is null
  EXPECT_FALSE(h.Reply(300ms)) << "the next request started before the restart was done";
  WriteFile(ack, "");
  for (int id : {11, 12}) {
    reply = h.Reply();
    ASSERT_TRUE(reply) << h.Log();
    EXPECT_TRUE(FileExists(restarted)) << h.host->Output();
    EXPECT_EQ(WireReply({{"command", "test"}, {"id", id}}), reply->payload);
  }
  EXPECT_NE(std::string::npos, h.host->Output().find(R"("method":"Restart","params":null)"));
  EXPECT_FALSE(h.Reply(300ms)) << "an ignored request was answered";

  // The service survived malformed requests and says why on both channels.
  std::string log = h.Log();
  EXPECT_NE(std::string::npos, log.find("ERROR [json.exception.parse_error")) << log;
  EXPECT_NE(std::string::npos, log.find("ERROR Request failed! ")) << log;
  EXPECT_TRUE(h.daemon->Running());
}

TEST(DaemonRequests, RestartWithoutHostServiceTimesOutAndKeepsServing) {
  DaemonHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  EXPECT_EQ(Answer("restart", 7, 0), h.Call({{"command", "restart"}, {"id", 7}}));
  EXPECT_TRUE(h.WaitLog("ERROR 'nn_recv' failed! ", 15s)) << h.Log();
  EXPECT_TRUE(h.Serving(8)) << h.Log();
  // The timed-out request was dropped: a host service that comes up later
  // never receives it.
  ASSERT_TRUE(h.StartHost());
  EXPECT_FALSE(WaitUntil([&] { return h.host->Output().find("Restart") != std::string::npos; }, 2s))
      << h.host->Output();
}

TEST(DaemonRequests, HostileRequestsAreDroppedWithOneShortLine) {
  DaemonHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  const struct {
    std::string payload, logged;
  } rows[] = {
      {std::string(100000, '[') + std::string(100000, ']'), "ERROR JSON text nested deeper than 64 levels"},
      {"[\"" + std::string(50u << 20, 'x') + "\"]", "ERROR JSON text of 52428804 bytes exceeds the limit"},
      {"{\"command\":\"test\",\"id\":\"" + std::string(4000, 'x') + "\n", "ERROR [json.exception.parse_error"},
  };
  for (const auto& row : rows) {
    const size_t logged = h.Log().size();
    ASSERT_TRUE(h.Send(row.payload));
    EXPECT_TRUE(h.Serving(1)) << h.Log().substr(logged, 2000);
    EXPECT_NE(std::string::npos, h.Log().find(row.logged, logged)) << h.Log().substr(logged, 2000);
    EXPECT_LT(h.Log().size() - logged, 2000u) << "the log is flooded";
  }
  std::string status = ReadFile("/proc/" + std::to_string(h.daemon->Pid()) + "/status");
  long peakKb = std::stol(status.substr(status.find("VmHWM:") + 6));
  EXPECT_LT(peakKb, 400 * 1024) << status;
}

TEST(DaemonRequests, UploadsInChunksInARowAndRefused) {
  DaemonHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  TmpName a("a"), b("b"), c("c"), escaped("escaped"), dir("dir"), zero("zero"), planted("planted");

  // 10 bytes announced, 100 sent: the file holds exactly the 10, closed
  // after the message that completed it.
  EXPECT_EQ(Answer("upload_file", 1, 0), h.Call(Upload(a.name, 10, 1)));
  for (const std::string& part : {std::string("0123"), std::string("4567"), "89" + std::string(92, 'x')})
    ASSERT_TRUE(h.SendData(part));
  ASSERT_TRUE(h.WaitLog("INFO Save to " + a.Path())) << h.Log();
  EXPECT_EQ("0123456789", ReadFile(a.Path()));

  // Refused announcements in the middle of an upload leave it untouched.
  EXPECT_EQ(Answer("upload_file", 2, 0), h.Call(Upload(b.name, 8, 2)));
  ASSERT_TRUE(h.SendData("part"));
  ASSERT_TRUE(h.Send(json{{"command", "upload_file"}, {"id", 2}, {"filename", c.name}}));  // no size: no reply
  EXPECT_EQ(Answer("upload_file", 2, 1, "Invalid file name!"), h.Call(Upload("new\nline", 3, 2)));
  ASSERT_TRUE(h.SendData("more"));
  ASSERT_TRUE(h.WaitLog("INFO Save to " + b.Path())) << h.Log();
  EXPECT_EQ("partmore", ReadFile(b.Path()));
  EXPECT_FALSE(FileExists(c.Path()));

  // A second announcement abandons the first upload where it stands.
  EXPECT_EQ(Answer("upload_file", 2, 0), h.Call(Upload(b.name, 8, 2)));
  ASSERT_TRUE(h.SendData("part"));
  EXPECT_EQ(Answer("upload_file", 3, 0), h.Call(Upload(c.name, 3, 3)));
  EXPECT_EQ("part", ReadFile(b.Path()));  // closed as far as it was written
  ASSERT_TRUE(h.SendData("xyz"));
  ASSERT_TRUE(h.WaitLog("INFO Save to " + c.Path())) << h.Log();
  EXPECT_EQ("xyz", ReadFile(c.Path()));
  EXPECT_EQ("part", ReadFile(b.Path()));

  // Only a plain file name is accepted; nothing is written for the others,
  // and data with no upload in progress goes nowhere.
  const std::string names[] = {"",
                               ".",
                               "..",
                               "../" + escaped.name,
                               "sub/" + escaped.name,
                               "/tmp/" + escaped.name,
                               std::string("a\0b", 3),
                               "forged\nINFO Save to /etc/passwd",
                               "tab\t",
                               "del\x7f"};
  for (const std::string& name : names) {
    SCOPED_TRACE(json(name).dump());
    EXPECT_EQ(Answer("upload_file", 4, 1, "Invalid file name!"), h.Call(Upload(name, 4, 4)));
    ASSERT_TRUE(h.SendData("data"));
  }
  EXPECT_TRUE(h.Serving(5));
  EXPECT_FALSE(FileExists("/" + escaped.name));
  EXPECT_FALSE(FileExists(escaped.Path()));
  EXPECT_EQ("xyz", ReadFile(c.Path()));

  // The name is plain but no file can be made there, or something planted
  // there would redirect or hold the write: the reply says so, and what the
  // name leads to stays as it was.
  ASSERT_EQ(0, RunShell("mkdir '" + dir.Path() + "'"));
  EXPECT_EQ(Answer("upload_file", 6, 1, "File cannot be created!"), h.Call(Upload(dir.name, 4, 6)));
  EXPECT_TRUE(IsDirectory(dir.Path()));
  const std::string target = h.dir.File("target");
  for (const char* plant : {"ln -s '%T' '%P'", "ln '%T' '%P'", "mkfifo '%P'"}) {
    SCOPED_TRACE(plant);
    std::string command = plant;
    command.replace(command.find("%P"), 2, planted.Path());
    if (command.find("%T") != std::string::npos) command.replace(command.find("%T"), 2, target);
    WriteFile(target, "target");
    ASSERT_EQ(0, RunShell("rm -f '" + planted.Path() + "' && " + command));
    EXPECT_EQ(Answer("upload_file", 6, 1, "File cannot be created!"), h.Call(Upload(planted.name, 4, 6)));
    ASSERT_TRUE(h.SendData("EVIL"));
    EXPECT_TRUE(h.Serving(6));
    EXPECT_EQ("target", ReadFile(target));
  }

  // A size of 0 starts nothing and creates no file; a size that is no
  // number gets no reply; the service goes on.
  EXPECT_EQ(Answer("upload_file", 7, 0), h.Call(Upload(zero.name, 0, 7)));
  ASSERT_TRUE(h.SendData("data"));
  ASSERT_TRUE(h.Send(Upload(zero.name, "4", 8)));
  EXPECT_TRUE(h.Serving(9));
  EXPECT_FALSE(FileExists(zero.Path()));
}

TEST(DaemonRequests, LargeUploadInChunksArrivesIntact) {
  DaemonHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  TmpName big("big");
  const size_t size = 6 * 1024 * 1024 + 123, chunk = 256 * 1024;
  std::string data(size, '\0');
  std::mt19937 random(42);
  for (char& ch : data) ch = static_cast<char>(random());

  EXPECT_EQ(Answer("upload_file", 1, 0), h.Call(Upload(big.name, size, 1)));
  for (size_t at = 0; at < size; at += chunk) ASSERT_TRUE(h.SendData(data.substr(at, chunk)));
  ASSERT_TRUE(h.WaitLog("INFO Save to " + big.Path(), 60s)) << h.Log();
  const std::string written = ReadFile(big.Path());
  ASSERT_EQ(size, written.size());
  EXPECT_EQ(std::hash<std::string>{}(data), std::hash<std::string>{}(written));
  EXPECT_TRUE(data == written);
}

}  // namespace
}  // namespace pemrix::testing
