// Download and both updates, below a root whose name holds a shell command.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>

#include "daemon_harness.h"

using namespace pemrix::testing;
namespace {

const std::string kInjected = "/tmp/pemrix-injected-" + std::to_string(getpid());
const char* const kUnpackFailed = "Data file cannot be decompressed!";
const char* const kInstallFailed = "Data file cannot be installed!";

class DaemonCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    TearDown();  // leftovers of an earlier run go first
    WriteFile(h.projectPath + "/old", "old");
    WriteFile(h.runtimePath + "/old", "old");
    // A "mv" on the daemon's PATH fails for $1 matching $fail (half done with $partial), as on a full disk.
    const std::string bin = h.dir.File("fakebin");
    FailMove("//none");
    WriteFile(h.dir.File("mv"), "#!/bin/sh\n. '" + h.dir.File("fail-mv") +
                                    "'\ncase \"$1\" in $fail) [ -n \"$partial\" ] && mkdir -p \"$2\" && "
                                    "echo > \"$2/partial\"; exit 1;; esac\nexec /bin/mv \"$@\"\n");
    ASSERT_EQ(0, RunShell("mkdir '" + bin + "' && install '" + h.dir.File("mv") + "' '" + bin + "'"));
    ASSERT_TRUE(h.Start({"PATH=" + bin + ":/usr/sbin:/usr/bin:/sbin:/bin"})) << h.Log();
  }
  void TearDown() override {
    EXPECT_FALSE(FileExists(kInjected)) << "a path was run as a shell command";
    RunShell("rm -rf /tmp/Project /tmp/Project.tar.gz /tmp/Pemrix /tmp/Pemrix.tar.gz " + kInjected);
  }
  void FailMove(const std::string& pattern, bool partial = false) {
    WriteFile(h.dir.File("fail-mv"), "fail='" + pattern + "'\npartial=" + (partial ? "1" : "") + "\n");
  }
  void Pack(const std::string& files, const std::string& tarArgs) {
    ASSERT_EQ(0, RunShell("cd \"$(mktemp -d -p '" + h.dir.Path() + "')\" && " + files + " && tar cz" + tarArgs));
  }
  void Update(const std::string& command, const char* error) {
    json reply = {
        {"command", command}, {"error", error ? json(error) : json()}, {"id", ++id}, {"result", error ? 1 : 0}};
    EXPECT_EQ(WireReply(reply), h.Call({{"command", command}, {"id", id}})) << h.Log();
  }

  DaemonHarness h{"my root;touch " + kInjected + ";"};
  int id = 0;
};

TEST_F(DaemonCommands, DownloadProjectPacksTheProjectFolder) {
  WriteFile("/tmp/Project.tar.gz", "stale");
  json reply = {{"command", "download_project"}, {"id", 1}, {"result", 0}};
  EXPECT_EQ(WireReply(reply), h.Call({{"command", "download_project"}, {"id", 1}}));
  ASSERT_EQ(0, RunShell("tar tzf /tmp/Project.tar.gz > '" + h.dir.File("list") + "'"));
  EXPECT_EQ("Project/\nProject/old\n", ReadFile(h.dir.File("list")));
  ASSERT_EQ(0, RunShell("rm -r '" + h.projectPath + "'"));
  reply.update({{"message", "Project cannot be compressed!"}, {"result", 1}});
  EXPECT_EQ(WireReply(reply), h.Call({{"command", "download_project"}, {"id", 1}}));
}

TEST_F(DaemonCommands, UpdatesInstallWholeOrLeaveTheOldInPlaceAndNothingBehind) {
  const std::string outside = h.dir.File("outside");
  // {files beside a good runtime folder, tar flags, members}: nothing to install, or hostile members.
  const std::vector<std::array<std::string, 3>> refused = {
      {"mkdir Other", "", "Other"},
      {"true", "P", "Pemrix Pemrix/../../outside"},
      {"true", "P", "Pemrix '" + outside + "'"},
      {"ln -s /etc/passwd Pemrix/evil", "", "Pemrix"},
      {"ln Pemrix/new Pemrix/b", "", "Pemrix"},
      {"mkfifo Pemrix/fifo", "", "Pemrix"},
      {"mknod Pemrix/null c 1 3", "", "Pemrix"},
      {"truncate -s 300M Pemrix/big", "S", "Pemrix"},  // over the unpacked bound
  };
  const struct {
    std::string command, archive, path, member, failMove;
  } rows[] = {{"update_project", "/tmp/Project.tar.gz", h.projectPath, ".", h.projectPath},
              {"update_runtime", "/tmp/Pemrix.tar.gz", h.runtimePath, "Pemrix", h.runtimePath + ".unpack-*/Pemrix"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.command);
    auto intact = [&] {
      EXPECT_EQ("old", ReadFile(r.path + "/old"));
      EXPECT_FALSE(FileExists(r.path + "/new") || FileExists(r.path + "/partial"));
      EXPECT_NE(0, RunShell("ls -d '" + h.root + "'/*.unpack-* '" + h.root + "/outside' 2>/dev/null")) << "left behind";
    };
    Update(r.command, kUnpackFailed);  // no archive
    WriteFile(r.archive, "garbage");
    Update(r.command, kUnpackFailed);
    intact();
    for (const auto& [files, flags, members] : r.member == "." ? decltype(refused){} : refused) {
      SCOPED_TRACE(files + " " + members);
      WriteFile(outside, "evil");
      Pack("mkdir Pemrix && echo new > Pemrix/new && " + files, flags + "f /tmp/Pemrix.tar.gz " + members);
      WriteFile(outside, "outside");
      Update(r.command, kInstallFailed);
      intact();
      EXPECT_EQ("outside", ReadFile(outside));
    }
    // The old folder cannot be moved aside (project), or the new one arrives half (runtime).
    Pack("mkdir -p " + r.member + " && echo new > " + r.member + "/new && echo '" + kLoggerJson + "' > " + r.member +
             "/data_logger.json",
         "f " + r.archive + " " + r.member);
    FailMove(r.failMove, r.member != ".");
    Update(r.command, kInstallFailed);
    intact();
    EXPECT_FALSE(FileExists(r.path + ".bak"));

    FailMove("//none");
    WriteFile(r.path + ".bak/older", "older");
    Update(r.command, nullptr);
    EXPECT_EQ("new\n", ReadFile(r.path + "/new"));
    EXPECT_EQ("old", ReadFile(r.path + ".bak/old"));
    EXPECT_FALSE(FileExists(r.path + "/old") || FileExists(r.path + ".bak/older") || FileExists("/tmp/Project") ||
                 FileExists("/tmp/Pemrix"));
  }
}

// What the data logger would not read, or a runtime without its programs, is never installed.
TEST_F(DaemonCommands, UpdatesAreCheckedBeforeTheyAreInstalled) {
  WriteFile(h.projectPath + "/data_logger.json", kLoggerJson);
  ASSERT_EQ(WireReply({{"command", "download_project"}, {"id", 0}, {"result", 0}}),
            h.Call({{"command", "download_project"}, {"id", 0}}));
  const std::string good = "echo '" + kLoggerJson + "' > data_logger.json";
  const std::pair<std::string, std::string> rows[] = {
      {"true", "the download_project archive: Project/ at its top"},
      {"mkdir -p a && cd a && " + good + " && cd .. && tar czf /tmp/Project.tar.gz a", "nested folder"},
      {"echo '{\"database\": 5}' > data_logger.json && tar czf /tmp/Project.tar.gz .", "broken data_logger.json"},
      {"head -c 10240 /dev/zero | gzip > /tmp/Project.tar.gz", "empty archive"},
  };
  for (const auto& [make, what] : rows) {
    SCOPED_TRACE(what);
    Pack(make, " -f /dev/null .");
    Update("update_project", kInstallFailed);
    EXPECT_EQ("old", ReadFile(h.projectPath + "/old"));
  }
  EXPECT_NE(std::string::npos, h.Log().find("does not pass the data logger's checks")) << h.Log();

  // Still uploading: refused until the last byte is in.
  Pack(good + " && tar czf " + h.dir.File("p.tgz") + " .", " -f /dev/null .");
  const std::string archive = ReadFile(h.dir.File("p.tgz"));
  const json upload = {{"command", "upload_file"}, {"id", 9}, {"filename", "Project.tar.gz"}, {"size", archive.size()}};
  ASSERT_EQ(WireReply({{"command", "upload_file"}, {"id", 9}, {"result", 0}}), h.Call(upload));
  ASSERT_TRUE(h.SendData(archive.substr(0, archive.size() - 1)));
  Update("update_project", kInstallFailed);
  ASSERT_TRUE(h.SendData(archive.substr(archive.size() - 1)) && h.WaitLog("INFO Save to /tmp/Project.tar.gz"));
  Update("update_project", nullptr);
  EXPECT_EQ(kLoggerJson + "\n", ReadFile(h.projectPath + "/data_logger.json"));

  // A runtime archive without a program the installed runtime has.
  ASSERT_EQ(0, RunShell("install /bin/true '" + h.runtimePath + "/prog'"));
  Pack("mkdir Pemrix && echo new > Pemrix/new", "f /tmp/Pemrix.tar.gz Pemrix");
  Update("update_runtime", kInstallFailed);
  Pack("mkdir Pemrix && install /bin/true Pemrix/prog", "f /tmp/Pemrix.tar.gz Pemrix");
  Update("update_runtime", nullptr);
}

}  // namespace
