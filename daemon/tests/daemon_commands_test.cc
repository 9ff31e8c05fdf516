// Project download and the two updates, with the fixed archive and unpack
// names in /tmp. The project and runtime live below a folder whose name
// holds a space and a shell command, which must neither split nor run.
#include <gtest/gtest.h>
#include <unistd.h>

#include "daemon_harness.h"

namespace pemrix::testing {
namespace {

using json = nlohmann::json;

const std::string kInjected = "/tmp/pemrix-injected-" + std::to_string(getpid());
const std::string kHostileRoot = "my root;touch " + kInjected + ";";

json UpdateReply(const std::string& command, int id, const char* error) {
  return {{"command", command}, {"error", error ? json(error) : json(nullptr)}, {"id", id}, {"result", error ? 1 : 0}};
}

class DaemonCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    Clean();
    WriteFile(h.projectPath + "/old.txt", "old project");
    WriteFile(h.runtimePath + "/old.bin", "old runtime");
    ASSERT_TRUE(h.Start()) << h.Log();
  }
  void TearDown() override {
    EXPECT_FALSE(FileExists(kInjected)) << "a path was run as a shell command";
    Clean();
  }
  static void Clean() {
    RunShell("rm -rf /tmp/Project /tmp/Project.tar.gz /tmp/Pemrix /tmp/Pemrix.tar.gz " + kInjected);
  }
  // Packs the contents of a fresh folder, made by fill, into archive.
  void MakeArchive(const std::string& archive, const std::string& files, const std::string& sub = ".") {
    const std::string stage = h.dir.File("stage");
    RunShell("rm -rf '" + stage + "'");
    ASSERT_EQ(0, RunShell("mkdir -p '" + stage + "' && cd '" + stage + "' && " + files));
    ASSERT_EQ(0, RunShell("tar czf " + archive + " -C '" + stage + "' " + sub));
  }
  // A fake "mv" first on the daemon's PATH: it fails for one source path
  // (after leaving half a copy behind when partial) and defers to the real
  // one otherwise. A real mv fails like this on a full or read-only disk.
  std::vector<std::string> FailingMove(const std::string& source, bool partial) {
    const std::string bin = h.dir.File("fakebin");
    RunShell("mkdir -p '" + bin + "'");
    WriteFile(bin + "/mv", "#!/bin/sh\nif [ \"$1\" = '" + source + "' ]; then\n" +
                               (partial ? "  mkdir -p \"$2\" && echo partial > \"$2/partial\"\n" : "") +
                               "  exit 1\nfi\nexec /bin/mv \"$@\"\n");
    RunShell("chmod +x '" + bin + "/mv'");
    return {"PATH=" + bin + ":/usr/sbin:/usr/bin:/sbin:/bin"};
  }
  void Restart(const std::vector<std::string>& env) {
    h.daemon->Stop(SIGINT, std::chrono::seconds(5));
    h.probe->Clear();
    ASSERT_TRUE(h.StartDaemon(env));
    // Subscriptions precede the "online" publish on the same connection; the
    // old daemon's "offline" may still be on its way.
    ASSERT_TRUE(WaitUntil(
        [&] {
          auto status = h.probe->WaitMessage(h.Topic("status"), std::chrono::milliseconds(100));
          return status && status->payload == WireText("online");
        },
        std::chrono::seconds(10)))
        << h.Log();
  }

  DaemonHarness h{kHostileRoot};
};

TEST_F(DaemonCommands, DownloadProjectPacksTheProjectFolder) {
  WriteFile("/tmp/Project.tar.gz", "stale");
  EXPECT_EQ(WireReply({{"command", "download_project"}, {"id", 1}, {"result", 0}}),
            h.Call({{"command", "download_project"}, {"id", 1}}));
  ASSERT_EQ(0, RunShell("tar tzf /tmp/Project.tar.gz > '" + h.dir.File("list") + "'"));
  std::string list = ReadFile(h.dir.File("list"));
  EXPECT_NE(std::string::npos, list.find("Project/\n")) << list;
  EXPECT_NE(std::string::npos, list.find("Project/old.txt")) << list;

  // Without the project folder there is nothing to pack.
  ASSERT_EQ(0, RunShell("mv '" + h.projectPath + "' '" + h.projectPath + ".moved'"));
  EXPECT_EQ(
      WireReply(
          {{"command", "download_project"}, {"id", 2}, {"message", "Project cannot be compressed!"}, {"result", 1}}),
      h.Call({{"command", "download_project"}, {"id", 2}}));
}

TEST_F(DaemonCommands, UpdateProjectReplacesAndKeepsOneBackup) {
  WriteFile(h.projectPath + ".bak/older.txt", "older");
  MakeArchive("/tmp/Project.tar.gz", "echo new > new.txt");
  EXPECT_EQ(WireReply(UpdateReply("update_project", 1, nullptr)), h.Call({{"command", "update_project"}, {"id", 1}}));
  EXPECT_EQ("new\n", ReadFile(h.projectPath + "/new.txt"));
  EXPECT_FALSE(FileExists(h.projectPath + "/old.txt"));
  EXPECT_EQ("old project", ReadFile(h.projectPath + ".bak/old.txt"));
  EXPECT_FALSE(FileExists(h.projectPath + ".bak/older.txt"));
  EXPECT_FALSE(FileExists("/tmp/Project"));
  EXPECT_NE(std::string::npos, h.Log().find("INFO mv '/tmp/Project' '" + h.projectPath + "'")) << h.Log();
}

TEST_F(DaemonCommands, UpdateProjectFailuresLeaveTheProjectIntact) {
  // No archive: unpacking fails.
  EXPECT_EQ(WireReply(UpdateReply("update_project", 1, "Data file cannot be decompressed!")),
            h.Call({{"command", "update_project"}, {"id", 1}}));
  EXPECT_EQ("old project", ReadFile(h.projectPath + "/old.txt"));
  EXPECT_FALSE(FileExists(h.projectPath + ".bak"));

  // Not an archive at all.
  WriteFile("/tmp/Project.tar.gz", "garbage");
  EXPECT_EQ(WireReply(UpdateReply("update_project", 2, "Data file cannot be decompressed!")),
            h.Call({{"command", "update_project"}, {"id", 2}}));
  EXPECT_EQ("old project", ReadFile(h.projectPath + "/old.txt"));

  // The old project cannot be moved aside.
  MakeArchive("/tmp/Project.tar.gz", "echo new > new.txt");
  Restart(FailingMove(h.projectPath, false));
  EXPECT_EQ(WireReply(UpdateReply("update_project", 3, "Data file cannot be installed!")),
            h.Call({{"command", "update_project"}, {"id", 3}}));
  EXPECT_EQ("old project", ReadFile(h.projectPath + "/old.txt"));
  EXPECT_FALSE(FileExists(h.projectPath + "/new.txt"));
}

TEST_F(DaemonCommands, UpdateRuntimeReplacesAndKeepsOneBackup) {
  MakeArchive("/tmp/Pemrix.tar.gz", "mkdir Pemrix && echo new > Pemrix/new.bin", "Pemrix");
  EXPECT_EQ(WireReply(UpdateReply("update_runtime", 1, nullptr)), h.Call({{"command", "update_runtime"}, {"id", 1}}));
  EXPECT_EQ("new\n", ReadFile(h.runtimePath + "/new.bin"));
  EXPECT_EQ("old runtime", ReadFile(h.runtimePath + ".bak/old.bin"));

  // Again: the backup is now the runtime that was just installed.
  MakeArchive("/tmp/Pemrix.tar.gz", "mkdir Pemrix && echo newer > Pemrix/newer.bin", "Pemrix");
  EXPECT_EQ(WireReply(UpdateReply("update_runtime", 2, nullptr)), h.Call({{"command", "update_runtime"}, {"id", 2}}));
  EXPECT_EQ("newer\n", ReadFile(h.runtimePath + "/newer.bin"));
  EXPECT_EQ("new\n", ReadFile(h.runtimePath + ".bak/new.bin"));
  EXPECT_FALSE(FileExists(h.runtimePath + ".bak/old.bin"));
}

TEST_F(DaemonCommands, UpdateRuntimeFailuresLeaveTheRuntimeIntact) {
  auto intact = [&] {
    EXPECT_EQ("old runtime", ReadFile(h.runtimePath + "/old.bin"));
    EXPECT_FALSE(FileExists(h.runtimePath + "/new.bin"));
    EXPECT_FALSE(FileExists(h.runtimePath + "/partial"));
  };
  EXPECT_EQ(WireReply(UpdateReply("update_runtime", 1, "Data file cannot be decompressed!")),
            h.Call({{"command", "update_runtime"}, {"id", 1}}));
  intact();

  // An archive without the top-level runtime folder unpacks fine but holds
  // nothing to install.
  MakeArchive("/tmp/Pemrix.tar.gz", "mkdir Other && echo new > Other/new.bin", "Other");
  EXPECT_EQ(WireReply(UpdateReply("update_runtime", 2, "Data file cannot be installed!")),
            h.Call({{"command", "update_runtime"}, {"id", 2}}));
  intact();
  EXPECT_FALSE(FileExists(h.runtimePath + ".bak"));
  RunShell("rm -rf /tmp/Other");

  // The new runtime cannot be moved in, half of it arrived: the old one
  // goes back in place.
  MakeArchive("/tmp/Pemrix.tar.gz", "mkdir Pemrix && echo new > Pemrix/new.bin", "Pemrix");
  Restart(FailingMove("/tmp/Pemrix", true));
  EXPECT_EQ(WireReply(UpdateReply("update_runtime", 3, "Data file cannot be installed!")),
            h.Call({{"command", "update_runtime"}, {"id", 3}}));
  intact();
  EXPECT_FALSE(FileExists(h.runtimePath + ".bak"));
}

}  // namespace
}  // namespace pemrix::testing
