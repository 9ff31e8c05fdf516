// The Debian package of this build: contents, Depends, unit lint, both programs run from an unpacked copy.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <sstream>

#include "TestSupport.h"

using namespace pemrix::testing;

namespace {

// Runs a /bin/sh command: its output (both streams), then "status <n>\n".
std::string Sh(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(("(" + command + ") 2>&1; echo status $?").c_str(), "r")) {
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    pclose(pipe);
  }
  return out;
}
bool Succeeded(const std::string& out) { return out.size() >= 9 && out.substr(out.size() - 9) == "status 0\n"; }

class Package : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    packLog = Sh("cd " + dir.Path() + " && cpack -G DEB --config " PEMRIX_BUILD_DIR "/CPackConfig.cmake -B . && " +
                 "mv pemrix_*.deb pemrix.deb && dpkg -x pemrix.deb root");
  }
  void SetUp() override { ASSERT_TRUE(Succeeded(packLog)) << packLog; }
  static inline TempDir dir{"pemrix-package"};
  static inline std::string packLog, deb = dir.File("pemrix.deb"), root = dir.File("root");
};

TEST_F(Package, HoldsTheInstallAndDependsOnWhatTheProgramsLink) {
  std::string contents = Sh("dpkg-deb --contents " + deb);
  for (std::string path :
       {"usr/bin/Pemrix.Daemon", "usr/bin/Pemrix.DataLogger", "etc/pemrix/daemon/app.conf",
        "etc/pemrix/daemon/log.conf", "etc/pemrix/daemon/mqtt.json", "etc/pemrix/datalogger/app.conf",
        "etc/pemrix/datalogger/log.conf", "usr/lib/systemd/system/pemrix-daemon.service",
        "usr/lib/systemd/system/pemrix-datalogger.service", "usr/lib/pemrix/drivers/Quillet.drv",
        "usr/lib/pemrix/drivers/libStrata.so", "usr/lib/pemrix/drivers/libPlinth.so",
        "usr/share/pemrix/examples/Project/data_logger.json"})
    EXPECT_NE(contents.find(" ./" + path + "\n"), std::string::npos) << path << " missing from\n" << contents;
  // The plug-in finds its platform libraries beside itself wherever it lands.
  std::string ldd = Sh("ldd " + root + "/usr/lib/pemrix/drivers/Quillet.drv");
  EXPECT_TRUE(Succeeded(ldd) && ldd.find(root + "/usr/lib/pemrix/drivers/libPlinth.so") != std::string::npos) << ldd;
  // One package name a line; the sanitizer runtimes come with the test build alone.
  std::string depends = Sh("dpkg-deb -f " + deb + " Depends");
  std::string names =
      Sh("cd " + dir.Path() + " && mkdir -p debian && printf 'Source: p\\n\\nPackage: p\\nArchitecture: any\\n'" +
         " >debian/control && dpkg-shlibdeps -O " + root + "/usr/bin/Pemrix.* 2>/dev/null | " +
         "sed -e 's/^shlibs:Depends=//' -e 's/ ([^)]*)//g' -e 's/, /\\n/g' | grep -v san");
  ASSERT_NE(names.find("libc6\n"), std::string::npos) << names;
  std::istringstream lines(names.substr(0, names.rfind("status")));
  for (std::string name; std::getline(lines, name);)
    EXPECT_NE(depends.find(name), std::string::npos) << name << " missing from Depends: " << depends;
}

TEST_F(Package, UnitsPassTheServiceManagersLint) {
  if (!Succeeded(Sh("command -v systemd-analyze"))) GTEST_SKIP() << "systemd-analyze not installed";
  for (std::string unit : {"pemrix-daemon.service", "pemrix-datalogger.service"}) {
    // The lint wants the programs at their ExecStart paths: point it at the copy.
    std::string text = ReadFile(root + "/usr/lib/systemd/system/" + unit);
    for (size_t at; (at = text.find("=/usr/")) != std::string::npos;) text.replace(at + 1, 0, root);
    WriteFile(dir.File(unit), text);
    EXPECT_EQ(Sh("systemd-analyze verify " + dir.File(unit)), "status 0\n") << unit;
  }
}

class InstalledProgram : public Package, public ::testing::WithParamInterface<const char*> {};

TEST_P(InstalledProgram, PassesItsCheckReportsReadyAndStopsInOrderOrCrashesLoudly) {
  const std::string program =
      root + "/usr/bin/Pemrix." + (GetParam() == std::string("daemon") ? "Daemon" : "DataLogger");
  const std::string folder = root + "/etc/pemrix/" + GetParam();
  TempDir run;  // its own project and peers: nothing on this machine is touched
  RunShell("mkdir " + run.File("Project"));
  WriteFile(run.File("Project/data_logger.json"),
            R"({"database":{"driver":"influxdb","influxdb":{"host":"127.0.0.1","port":)" +
                std::to_string(FreeTcpPort()) + R"(,"database_name":"d"}},"measurements":[]})");
  WriteFile(run.File("local.conf"), R"({"project_path":")" + run.File("Project") + R"(","daq_api":")" + run.Ipc("daq") +
                                        R"(","host_api":")" + run.Ipc("host") + R"("})");
  // The shipped configuration passes the program's own check.
  EXPECT_TRUE(Succeeded(Sh("cd " + folder + " && " + program + " --check-config " + run.File("local.conf"))));
  EXPECT_NE(Sh(program + " --version").find(PEMRIX_VERSION), std::string::npos);
  int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_un addr{AF_UNIX, {}};
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", run.File("notify").c_str());
  ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  std::string notices, env = "NOTIFY_SOCKET=" + run.File("notify");
  auto received = [&]() -> const std::string& {
    char buf[256];
    for (ssize_t n; (n = recv(notify, buf, sizeof(buf), 0)) > 0;) notices.append(buf, n).append("\n");
    return notices;
  };
  auto noticed = [&](const char* what) {
    return WaitUntil([&] { return received().find(what) != std::string::npos; }, 10s);
  };
  // A crash report and an abnormal end on SIGSEGV, orderly stops on SIGINT and SIGTERM.
  for (int sig : {SIGINT, SIGTERM, SIGSEGV}) {
    SCOPED_TRACE(sig);
    notices.clear();
    Process p(
        {{program, run.File("local.conf"), "ignored-extra-argument"}, folder, {env}, run.File(std::to_string(sig))});
    ASSERT_TRUE(p.Start());
    EXPECT_TRUE(noticed("READY=1")) << notices << p.Output();
    p.Signal(sig);
    ASSERT_TRUE(p.Wait(10s)) << p.Output();
    const std::string log = p.Output();
    // The second file's keys apply on top of the first's.
    EXPECT_NE(log.find("Project Path = " + run.File("Project")), std::string::npos) << log;
    EXPECT_EQ(log.find("ignored-extra-argument"), std::string::npos);
    if (sig == SIGSEGV) {
      EXPECT_NE(p.TermSignal(), 0) << "exit code " << p.ExitCode();
      EXPECT_NE(log.find("FATAL"), std::string::npos) << log;
      EXPECT_NE(log.find("SIGSEGV"), std::string::npos);
      EXPECT_EQ(log.find("Signal Code"), std::string::npos);
    } else {
      EXPECT_TRUE(noticed("STOPPING=1")) << notices << log;
      EXPECT_EQ(p.ExitCode(), 0) << log;
      EXPECT_NE(log.find("Signal Code = " + std::to_string(sig)), std::string::npos) << log;
    }
  }
  close(notify);
}

INSTANTIATE_TEST_SUITE_P(Programs, InstalledProgram, ::testing::Values("daemon", "datalogger"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
