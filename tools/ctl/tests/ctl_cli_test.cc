// pemrix-ctl from the outside: exit statuses, the broker's refusal, foreign traffic on the response topic.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "daemon_harness.h"

using namespace pemrix::testing;
namespace {

// Usage errors exit 2 with a hint and connect nowhere; local checks exit 1 before connecting.
TEST(CtlCli, UsageErrorsExitTwoAndLocalChecksComeBeforeConnecting) {
  TempDir dir;
  const std::string nowhere = std::to_string(FreeTcpPort());
  const struct {
    std::vector<std::string> args;
    int status;
    const char* says;
  } rows[] = {
      {{"--port", "abc", "test"}, 2, "--port takes a whole number from 1 to 65535"},
      {{"--port", "99999", "test"}, 2, "--port takes"},
      {{"--timeout", "0", "test"}, 2, "--timeout takes"},
      {{"--timeout", "-1", "test"}, 2, "--timeout takes"},
      {{"--frobnicate", "test"}, 2, "unknown option --frobnicate"},
      {{}, 2, "no command given"},
      {{"upload"}, 2, "upload takes one file"},
      {{"--port", nowhere, "upload", "/nonexistent"}, 1, "/nonexistent: No such file or directory"},
      {{"--port", nowhere, "upload", "/etc"}, 1, "/etc: not a regular file"},
      {{"--port", nowhere, "--cafile", "/nonexistent", "test"}, 1, "/nonexistent: No such file"},
      {{"--version"}, 0, "pemrix-ctl " PEMRIX_VERSION},
      {{"-h"}, 0, "usage: pemrix-ctl"},
  };
  for (const auto& row : rows) {
    const CtlRun run = RunCtl(dir, row.args);
    EXPECT_EQ(run.status, row.status) << row.says << "\n" << run.output;
    EXPECT_NE(run.output.find(row.says), std::string::npos) << run.output;
    if (row.status == 2) {
      EXPECT_NE(run.output.find("Try 'pemrix-ctl --help'."), std::string::npos) << run.output;
    }
    EXPECT_EQ(run.output.find("connect"), std::string::npos) << run.output;
  }
}

// A refused login or no broker at all ends at once, with the reason, not after --timeout.
TEST(CtlCli, FailsFastWithTheBrokersReason) {
  TempDir dir;
  ASSERT_EQ(0, RunShell("mosquitto_passwd -b -c " + dir.File("passwd") + " operator secret"));
  MosquittoBroker broker("allow_anonymous false\npassword_file " + dir.File("passwd"));
  ASSERT_TRUE(broker.Start());
  const std::string port = std::to_string(broker.Port()), nowhere = std::to_string(FreeTcpPort());
  const struct {
    std::vector<std::string> args;
    std::string says;
  } rows[] = {
      {{"--port", port, "--username", "operator", "--password", "wrong", "--timeout", "30"}, "not authorised"},
      {{"--port", port, "--timeout", "30"}, "not authorised"},
      {{"--port", nowhere, "--timeout", "30"}, "cannot connect to the broker at localhost:" + nowhere},
      // The right password gets as far as the gateway (none here): a time-out, not a refusal.
      {{"--port", port, "--username", "operator", "--password", "secret", "--timeout", "1"},
       "no reply to test within 1 s"},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = row.args;
    args.push_back("test");
    const CtlRun run = RunCtl(dir, args);
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_LT(run.took, 3000ms) << run.output;  // not after --timeout 30
    EXPECT_NE(run.output.find(row.says), std::string::npos) << run.output;
  }
}

// Foreign messages on the response topic leave an upload alone; a downloaded project goes back as it came.
TEST(CtlCli, IgnoresForeignRepliesAndTakesBackTheProjectItDownloaded) {
  DaemonHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  const std::string name = "pemrix-ctl-cli-" + std::to_string(getpid()), target = "/tmp/" + name;
  const std::shared_ptr<void> cleanup(nullptr, [&](void*) { RunShell("rm -f " + target + " /tmp/Project.tar.gz"); });
  ASSERT_EQ(0, RunShell("head -c 30000000 /dev/urandom > '" + h.dir.File("file") + "'"));
  std::atomic<bool> uploading{true};
  std::thread junk([&] {
    MqttProbe probe(h.broker.Port());
    if (!probe.Connect()) return;
    const std::string big(3 << 20, '[');
    const std::string texts[] = {
        "hello", "[1,2]", R"({"command":5})", big,
        R"({"command":"upload_status","id":"ctl-1-x-1","filename":"x","size":1,"received":99})"};
    for (size_t i = 0; uploading; ++i) {
      probe.Publish(h.Topic("response"), texts[i % std::size(texts)], 0);
      WaitUntil([&] { return !uploading; }, 20ms);
    }
  });
  const CtlRun upload = h.Ctl({"upload", h.dir.File("file"), "--name", name});
  uploading = false;
  junk.join();
  EXPECT_EQ(upload.status, 0) << upload.output;
  EXPECT_EQ(0, RunShell("cmp '" + h.dir.File("file") + "' " + target));
  EXPECT_NE(upload.output.find("uploaded " + h.dir.File("file") + " to gateway"), std::string::npos) << upload.output;

  WriteFile(h.projectPath + "/data_logger.json", kLoggerJson);
  ASSERT_EQ(h.Ctl({"download-project"}).status, 0);
  ASSERT_EQ(0, RunShell("cp /tmp/Project.tar.gz '" + h.dir.File("Project.tar.gz") + "'"));
  const CtlRun update = h.Ctl({"--json", "update-project", h.dir.File("Project.tar.gz")});
  EXPECT_EQ(update.status, 0) << update.output;
  EXPECT_NE(update.output.find(R"("command":"update_project","error":null)"), std::string::npos) << update.output;
  EXPECT_TRUE(FileExists(h.projectPath + "/data_logger.json"));
  EXPECT_FALSE(FileExists(h.projectPath + "/Project"));
}

}  // namespace
