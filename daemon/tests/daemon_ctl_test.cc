// The operator's tool against the built daemon over a real broker: large
// uploads that land whole (resumed after the tool was killed), a damaged
// upload that is refused and removed, and both outcomes of a runtime update.
#include <gtest/gtest.h>
#include <unistd.h>

#include "daemon_harness.h"

namespace pemrix::testing {
namespace {

class DaemonCtl : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(h.Start()) << h.Log(); }
  void TearDown() override { RunShell("rm -f /tmp/" + name + " /tmp/Pemrix.tar.gz"); }

  std::unique_ptr<Process> Ctl(std::vector<std::string> args) {
    args.insert(args.begin(), {BinPath("pemrix-ctl"), "--port", std::to_string(h.broker.Port()), "--root",
                               "/pemrix/test", "--id", h.deviceId, "--timeout", "20"});
    auto ctl = std::make_unique<Process>(Process::Options{args, h.dir.Path(), {}, h.dir.File("ctl.out")});
    EXPECT_TRUE(ctl->Start());
    return ctl;
  }
  // Runs the tool to its end; its exit status.
  int Run(std::vector<std::string> args) {
    auto ctl = Ctl(std::move(args));
    return ctl->Wait(120s) ? ctl->ExitCode() : -1;
  }
  // Starts an upload of file and kills the tool once the gateway holds at
  // least `at` bytes of it.
  void UploadKilledAt(const std::string& file, long at) {
    auto ctl = Ctl({"upload", file, "--name", name});
    ASSERT_TRUE(WaitUntil([&] { return ReadFile("/tmp/" + name).size() >= static_cast<size_t>(at); }, 60s));
    ctl->Kill();
  }
  std::string Output() const { return ReadFile(h.dir.File("ctl.out")); }

  DaemonHarness h;
  const std::string name = "pemrix-ctl-" + std::to_string(getpid());
};

TEST_F(DaemonCtl, UploadsLandWholeAcrossAKillAndADamagedOneIsRemoved) {
  const std::string big = h.dir.File("big"), part = h.dir.File("part"), small = h.dir.File("small");
  ASSERT_EQ(0, RunShell("head -c 200000000 /dev/urandom > '" + big + "' && head -c 100000000 '" + big + "' > '" + part +
                        "' && head -c 20000000 '" + big + "' > '" + small + "'"));
  EXPECT_EQ(0, Run({"upload", part, "--name", name})) << Output();
  EXPECT_EQ(0, RunShell("cmp '" + part + "' /tmp/" + name));

  UploadKilledAt(big, 100000000);
  EXPECT_EQ(0, Run({"upload", big, "--name", name, "--resume"})) << Output();
  EXPECT_EQ(0, RunShell("cmp '" + big + "' /tmp/" + name));

  // A byte of the part already received is damaged before the resume.
  UploadKilledAt(small, 10000000);
  ASSERT_EQ(0, RunShell("printf Z | dd of=/tmp/" + name + " bs=1 seek=1000 conv=notrunc 2>/dev/null"));
  EXPECT_EQ(1, Run({"upload", small, "--name", name, "--resume"})) << Output();
  EXPECT_NE(std::string::npos, Output().find("\"message\": \"Checksum mismatch!\"")) << Output();
  EXPECT_FALSE(FileExists("/tmp/" + name));
}

TEST_F(DaemonCtl, UpdateRuntimeReportsEachOutcome) {
  WriteFile(h.runtimePath + "/old.bin", "old");
  const std::string stage = h.dir.File("stage");
  ASSERT_EQ(0, RunShell("mkdir -p '" + stage + "/Pemrix' && echo new > '" + stage + "/Pemrix/new.bin' && tar czf '" +
                        stage + "/good.tgz' -C '" + stage + "' Pemrix && ln -s /etc '" + stage +
                        "/Pemrix/evil' && tar czf '" + stage + "/bad.tgz' -C '" + stage + "' Pemrix"));
  EXPECT_EQ(0, Run({"update-runtime", stage + "/good.tgz"})) << Output();
  EXPECT_NE(std::string::npos, Output().find("\"command\": \"update_runtime\",\n\"error\": null")) << Output();
  EXPECT_EQ("new\n", ReadFile(h.runtimePath + "/new.bin"));
  EXPECT_EQ(1, Run({"update-runtime", stage + "/bad.tgz"})) << Output();
  EXPECT_NE(std::string::npos, Output().find("pemrix-ctl: Data file cannot be installed!")) << Output();
  EXPECT_FALSE(FileExists(h.runtimePath + "/evil"));
  EXPECT_EQ(2, Run({"upload"}));  // usage
}

}  // namespace
}  // namespace pemrix::testing
