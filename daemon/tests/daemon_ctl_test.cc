// The operator's tool against the built daemon over a real broker.
#include <gtest/gtest.h>
#include <unistd.h>

#include "daemon_harness.h"

using namespace pemrix::testing;
namespace {

TEST(DaemonCtl, UploadsLandWholeAcrossAKillDamagedOnesAreRemovedAndUpdatesReportTheirOutcome) {
  DaemonHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  const std::string name = "pemrix-ctl-" + std::to_string(getpid()), target = "/tmp/" + name;
  const std::shared_ptr<void> cleanup(nullptr, [&](void*) { RunShell("rm -f " + target + " /tmp/Pemrix.tar.gz"); });
  auto ctl = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {BinPath("pemrix-ctl"), "--port", std::to_string(h.broker.Port()), "--root",
                               "/pemrix/test", "--id", h.deviceId, "--timeout", "20", "--json"});
    auto process = std::make_unique<Process>(Process::Options{args, h.dir.Path(), {}, h.dir.File("ctl.out")});
    EXPECT_TRUE(process->Start());
    return process;
  };
  auto run = [&](const std::vector<std::string>& args) {
    auto process = ctl(args);
    return process->Wait(120s) ? process->ExitCode() : -1;
  };
  auto output = [&] { return ReadFile(h.dir.File("ctl.out")); };
  // The tool is killed (Process going out of scope) once the gateway holds `at` bytes.
  auto uploadKilledAt = [&](const std::string& file, size_t at) {
    auto process = ctl({"upload", file, "--name", name});
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(target).size() >= at; }, 60s));
  };

  ASSERT_EQ(
      0,
      RunShell("cd '" + h.dir.Path() + "' && head -c 200000000 /dev/urandom > big && head -c 20000000 big > " +
               "small && mkdir Pemrix && tar czf good.tgz Pemrix && ln -s /etc Pemrix/evil && tar czf bad.tgz Pemrix"));
  uploadKilledAt(h.dir.File("big"), 100000000);
  EXPECT_EQ(0, run({"upload", h.dir.File("big"), "--name", name, "--resume"})) << output();
  EXPECT_EQ(0, RunShell("cmp '" + h.dir.File("big") + "' " + target));
  // A byte received before the kill is damaged.
  uploadKilledAt(h.dir.File("small"), 10000000);
  ASSERT_EQ(0, RunShell("printf Z | dd of=" + target + " bs=1 seek=1000 conv=notrunc 2>/dev/null"));
  EXPECT_EQ(1, run({"upload", h.dir.File("small"), "--name", name, "--resume"})) << output();
  EXPECT_NE(std::string::npos, output().find(R"("message":"Checksum mismatch!")")) << output();
  EXPECT_FALSE(FileExists(target));

  EXPECT_EQ(0, run({"update-runtime", h.dir.File("good.tgz")})) << output();
  EXPECT_NE(std::string::npos, output().find(R"("command":"update_runtime","error":null)")) << output();
  EXPECT_EQ(1, run({"update-runtime", h.dir.File("bad.tgz")})) << output();
  EXPECT_NE(std::string::npos, output().find("pemrix-ctl: Data file cannot be installed!")) << output();
  EXPECT_FALSE(FileExists(h.runtimePath + "/evil"));
  EXPECT_EQ(2, run({"upload"}));  // usage
}

}  // namespace
