// The operator's tool against the built daemon over a real broker.
#include <gtest/gtest.h>
#include <unistd.h>

#include "daemon_harness.h"

using namespace pemrix::testing;
namespace {

class DaemonCtl : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(h.Start()) << h.Log(); }
  void TearDown() override { RunShell("rm -f " + target + " /tmp/Pemrix.tar.gz"); }
  std::unique_ptr<Process> Ctl(std::vector<std::string> args) {
    args.insert(args.begin(), {BinPath("pemrix-ctl"), "--port", std::to_string(h.broker.Port()), "--root",
                               "/pemrix/test", "--id", h.deviceId, "--timeout", "20"});
    auto ctl = std::make_unique<Process>(Process::Options{args, h.dir.Path(), {}, h.dir.File("ctl.out")});
    EXPECT_TRUE(ctl->Start());
    return ctl;
  }
  int Run(const std::vector<std::string>& args) {
    auto ctl = Ctl(args);
    return ctl->Wait(120s) ? ctl->ExitCode() : -1;
  }
  void UploadKilledAt(const std::string& file, size_t at) {
    auto ctl = Ctl({"upload", file, "--name", name});
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(target).size() >= at; }, 60s));
    ctl->Kill();
  }
  std::string Output() const { return ReadFile(h.dir.File("ctl.out")); }

  DaemonHarness h;
  const std::string name = "pemrix-ctl-" + std::to_string(getpid()), target = "/tmp/" + name;
};

TEST_F(DaemonCtl, UploadsLandWholeAcrossAKillAndADamagedOneIsRemoved) {
  const std::string big = h.dir.File("big"), small = h.dir.File("small");
  ASSERT_EQ(0, RunShell("head -c 200000000 /dev/urandom > '" + big + "' && head -c 20000000 '" + big + "' > '" + small +
                        "'"));
  UploadKilledAt(big, 100000000);
  EXPECT_EQ(0, Run({"upload", big, "--name", name, "--resume"})) << Output();
  EXPECT_EQ(0, RunShell("cmp '" + big + "' " + target));
  // A byte received before the kill is damaged.
  UploadKilledAt(small, 10000000);
  ASSERT_EQ(0, RunShell("printf Z | dd of=" + target + " bs=1 seek=1000 conv=notrunc 2>/dev/null"));
  EXPECT_EQ(1, Run({"upload", small, "--name", name, "--resume"})) << Output();
  EXPECT_NE(std::string::npos, Output().find("\"message\": \"Checksum mismatch!\"")) << Output();
  EXPECT_FALSE(FileExists(target));
}

TEST_F(DaemonCtl, UpdateRuntimeReportsEachOutcome) {
  ASSERT_EQ(
      0, RunShell("cd '" + h.dir.Path() + "' && mkdir Pemrix && echo new > Pemrix/new && tar czf good.tgz Pemrix && " +
                  "ln -s /etc Pemrix/evil && tar czf bad.tgz Pemrix"));
  EXPECT_EQ(0, Run({"update-runtime", h.dir.File("good.tgz")})) << Output();
  EXPECT_NE(std::string::npos, Output().find("\"command\": \"update_runtime\",\n\"error\": null")) << Output();
  EXPECT_EQ(1, Run({"update-runtime", h.dir.File("bad.tgz")})) << Output();
  EXPECT_NE(std::string::npos, Output().find("pemrix-ctl: Data file cannot be installed!")) << Output();
  EXPECT_FALSE(FileExists(h.runtimePath + "/evil"));
  EXPECT_EQ(2, Run({"upload"}));  // usage
}

}  // namespace
