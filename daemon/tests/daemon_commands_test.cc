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
const char* const kUnpackFailed = "Data file cannot be decompressed!";
const char* const kInstallFailed = "Data file cannot be installed!";

class DaemonCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    Clean();
    WriteFile(h.projectPath + "/old.txt", "old project");
    WriteFile(h.runtimePath + "/old.bin", "old runtime");
    // A fake "mv" first on the daemon's PATH: it fails for a source matching
    // the pattern in the control file (after leaving half a copy behind when
    // told "partial"), as a real one does on a full or read-only disk.
    const std::string bin = h.dir.File("fakebin"), control = h.dir.File("fail-mv");
    ASSERT_EQ(0, RunShell("mkdir -p '" + bin + "'"));
    WriteFile(bin + "/mv", "#!/bin/sh\nif [ -f '" + control + "' ]; then case \"$1\" in $(sed -n 1p '" + control +
                               "'))\n  [ \"$(sed -n 2p '" + control +
                               "')\" = partial ] && mkdir -p \"$2\" && echo partial > \"$2/partial\"\n"
                               "  exit 1;; esac; fi\nexec /bin/mv \"$@\"\n");
    ASSERT_EQ(0, RunShell("chmod +x '" + bin + "/mv'"));
    ASSERT_TRUE(h.Start({"PATH=" + bin + ":/usr/sbin:/usr/bin:/sbin:/bin"})) << h.Log();
  }
  void TearDown() override {
    EXPECT_FALSE(FileExists(kInjected)) << "a path was run as a shell command";
    Clean();
  }
  static void Clean() {
    RunShell("rm -rf /tmp/Project /tmp/Project.tar.gz /tmp/Pemrix /tmp/Pemrix.tar.gz /tmp/Other " + kInjected);
  }
  void FailMove(const std::string& pattern, bool partial = false) {
    WriteFile(h.dir.File("fail-mv"), (pattern.empty() ? "//none" : pattern) + "\n" + (partial ? "partial" : "") + "\n");
  }
  // Packs sub of a fresh folder, filled by the shell command files, into archive.
  void MakeArchive(const std::string& archive, const std::string& files, const std::string& sub = ".") {
    const std::string stage = h.dir.File("stage");
    RunShell("rm -rf '" + stage + "'");
    ASSERT_EQ(0, RunShell("mkdir -p '" + stage + "' && cd '" + stage + "' && " + files));
    ASSERT_EQ(0, RunShell("tar czf " + archive + " -C '" + stage + "' " + sub));
  }
  // Sends command with id; its reply must carry error (nullptr: success).
  void Update(const std::string& command, int id, const char* error) {
    json reply = {{"command", command}, {"error", error ? json(error) : json()}, {"id", id}, {"result", error ? 1 : 0}};
    EXPECT_EQ(WireReply(reply), h.Call({{"command", command}, {"id", id}})) << h.Log();
  }

  DaemonHarness h{"my root;touch " + kInjected + ";"};
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

TEST_F(DaemonCommands, UpdateProjectFailuresLeaveItIntactThenItIsReplaced) {
  Update("update_project", 1, kUnpackFailed);  // no archive
  WriteFile("/tmp/Project.tar.gz", "garbage");
  Update("update_project", 2, kUnpackFailed);
  EXPECT_FALSE(FileExists(h.projectPath + ".bak"));
  MakeArchive("/tmp/Project.tar.gz", "echo new > new.txt");
  FailMove(h.projectPath);  // the old project cannot be moved aside
  Update("update_project", 3, kInstallFailed);
  EXPECT_EQ("old project", ReadFile(h.projectPath + "/old.txt"));
  EXPECT_FALSE(FileExists(h.projectPath + "/new.txt"));

  FailMove("");
  WriteFile(h.projectPath + ".bak/older.txt", "older");
  MakeArchive("/tmp/Project.tar.gz", "echo new > new.txt");
  Update("update_project", 4, nullptr);
  EXPECT_EQ("new\n", ReadFile(h.projectPath + "/new.txt"));
  EXPECT_FALSE(FileExists(h.projectPath + "/old.txt"));
  EXPECT_EQ("old project", ReadFile(h.projectPath + ".bak/old.txt"));
  EXPECT_FALSE(FileExists(h.projectPath + ".bak/older.txt"));
  EXPECT_FALSE(FileExists("/tmp/Project"));
  EXPECT_NE(std::string::npos, h.Log().find("INFO mv '" + h.projectPath + ".unpack-")) << h.Log();
}

TEST_F(DaemonCommands, UpdateRuntimeFailuresLeaveItIntactThenItIsReplaced) {
  auto intact = [&] {
    EXPECT_EQ("old runtime", ReadFile(h.runtimePath + "/old.bin"));
    EXPECT_FALSE(FileExists(h.runtimePath + "/new.bin"));
    EXPECT_FALSE(FileExists(h.runtimePath + "/partial"));
    EXPECT_FALSE(FileExists(h.runtimePath + ".bak"));
  };
  Update("update_runtime", 1, kUnpackFailed);
  intact();
  // An archive without the top-level runtime folder unpacks fine but holds
  // nothing to install.
  MakeArchive("/tmp/Pemrix.tar.gz", "mkdir Other && echo new > Other/new.bin", "Other");
  Update("update_runtime", 2, kInstallFailed);
  intact();
  // The new runtime cannot be moved in, half of it arrived: the old one goes back in place.
  MakeArchive("/tmp/Pemrix.tar.gz", "mkdir Pemrix && echo new > Pemrix/new.bin", "Pemrix");
  FailMove(h.runtimePath + ".unpack-*/Pemrix", true);
  Update("update_runtime", 3, kInstallFailed);
  intact();

  FailMove("");
  MakeArchive("/tmp/Pemrix.tar.gz", "mkdir Pemrix && echo new > Pemrix/new.bin", "Pemrix");
  Update("update_runtime", 4, nullptr);
  EXPECT_EQ("new\n", ReadFile(h.runtimePath + "/new.bin"));
  EXPECT_EQ("old runtime", ReadFile(h.runtimePath + ".bak/old.bin"));
  // Again: the backup is now the runtime that was just installed.
  MakeArchive("/tmp/Pemrix.tar.gz", "mkdir Pemrix && echo newer > Pemrix/newer.bin", "Pemrix");
  Update("update_runtime", 5, nullptr);
  EXPECT_EQ("newer\n", ReadFile(h.runtimePath + "/newer.bin"));
  EXPECT_EQ("new\n", ReadFile(h.runtimePath + ".bak/new.bin"));
  EXPECT_FALSE(FileExists(h.runtimePath + ".bak/old.bin"));
}

TEST_F(DaemonCommands, HostileArchivesAreRefusedWholeAndLeaveNothing) {
  const std::string outside = h.dir.File("outside"), stage = h.dir.File("stage");
  // Each row adds to a runtime folder that is otherwise fine, then packs.
  const struct {
    const char* what;
    std::string files, tarFlags, members;
  } rows[] = {
      {"climbs out", "true", "P", "Pemrix Pemrix/../../outside"},
      {"absolute", "true", "P", "Pemrix '" + outside + "'"},
      {"symbolic link", "ln -s /etc/passwd Pemrix/evil", "", "Pemrix"},
      {"hard link", "ln Pemrix/new.bin Pemrix/b", "", "Pemrix"},
      {"FIFO", "mkfifo Pemrix/fifo", "", "Pemrix"},
      {"device", "mknod Pemrix/null c 1 3", "", "Pemrix"},
      {"bomb over the bound", "truncate -s 300M Pemrix/big", "S", "Pemrix"},
  };
  int id = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    WriteFile(outside, "evil");
    ASSERT_EQ(0, RunShell("rm -rf '" + stage + "' && mkdir -p '" + stage + "/Pemrix' && cd '" + stage +
                          "' && echo new > Pemrix/new.bin && " + row.files + " && tar cz" + row.tarFlags +
                          "f /tmp/Pemrix.tar.gz " + row.members));
    WriteFile(outside, "outside");
    Update("update_runtime", ++id, kInstallFailed);
    EXPECT_EQ("old runtime", ReadFile(h.runtimePath + "/old.bin"));
    EXPECT_FALSE(FileExists(h.runtimePath + "/new.bin"));
    EXPECT_NE(0, RunShell("ls -d '" + h.root + "'/*.unpack-* '" + h.root + "/outside' 2>/dev/null")) << "left behind";
    EXPECT_EQ("outside", ReadFile(outside));
  }
  EXPECT_TRUE(h.Serving(100));
}

}  // namespace
}  // namespace pemrix::testing
