// pemrix-ctl from the outside: exit statuses, the broker's refusal, foreign traffic on the response topic.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "daemon_harness.h"

using namespace pemrix::testing;
namespace {

struct CtlRun {
  int status;
  std::string output;
  std::chrono::milliseconds took;
};

CtlRun Ctl(const TempDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), BinPath("pemrix-ctl"));
  const std::string out = dir.File("ctl-" + std::to_string(getpid()) + ".out");
  RunShell("rm -f " + out);
  Process process({args, dir.Path(), {}, out});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(process.Start());
  const bool ended = process.Wait(120s);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  return {ended ? process.ExitCode() : -1, ReadFile(out), took};
}

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
    const CtlRun run = Ctl(dir, row.args);
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
      {{"--port", port, "--username", "operator", "--password", "wrong"}, "not authorised"},
      {{"--port", port}, "not authorised"},
      {{"--port", nowhere}, "cannot connect to the broker at localhost:" + nowhere},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = row.args;
    args.insert(args.end(), {"--timeout", "30", "test"});
    const CtlRun run = Ctl(dir, args);
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_LT(run.took, 1000ms) << run.output;
    EXPECT_NE(run.output.find(row.says), std::string::npos) << run.output;
  }
  // The right password gets as far as the gateway (none here): a time-out, not a refusal.
  const CtlRun run =
      Ctl(dir, {"--port", port, "--username", "operator", "--password", "secret", "--timeout", "1", "test"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("no reply to test within 1 s"), std::string::npos) << run.output;
}

// Foreign messages on the response topic leave an upload alone; a downloaded project goes back as it came.
TEST(CtlCli, IgnoresForeignRepliesAndTakesBackTheProjectItDownloaded) {
  DaemonHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  const std::string name = "pemrix-ctl-cli-" + std::to_string(getpid()), target = "/tmp/" + name;
  const std::shared_ptr<void> cleanup(nullptr, [&](void*) { RunShell("rm -f " + target + " /tmp/Project.tar.gz"); });
  const std::vector<std::string> base = {
      "--port", std::to_string(h.broker.Port()), "--root", "/pemrix/test", "--id", h.deviceId, "--timeout", "20"};
  auto ctl = [&](std::vector<std::string> args) {
    args.insert(args.begin(), base.begin(), base.end());
    return Ctl(h.dir, args);
  };
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
  const CtlRun upload = ctl({"upload", h.dir.File("file"), "--name", name});
  uploading = false;
  junk.join();
  EXPECT_EQ(upload.status, 0) << upload.output;
  EXPECT_EQ(0, RunShell("cmp '" + h.dir.File("file") + "' " + target));
  EXPECT_NE(upload.output.find("uploaded " + h.dir.File("file") + " to gateway"), std::string::npos) << upload.output;

  WriteFile(h.projectPath + "/data_logger.json", kLoggerJson);
  ASSERT_EQ(ctl({"download-project"}).status, 0);
  ASSERT_EQ(0, RunShell("cp /tmp/Project.tar.gz '" + h.dir.File("Project.tar.gz") + "'"));
  const CtlRun update = ctl({"--json", "update-project", h.dir.File("Project.tar.gz")});
  EXPECT_EQ(update.status, 0) << update.output;
  EXPECT_NE(update.output.find(R"("command":"update_project","error":null)"), std::string::npos) << update.output;
  EXPECT_TRUE(FileExists(h.projectPath + "/data_logger.json"));
  EXPECT_FALSE(FileExists(h.projectPath + "/Project"));
}

}  // namespace
