// The two Debian packages of this build: contents, the plug-in's libraries and exports in each layout, secrets' modes,
// Depends, unit and man-page lint, the programs run from an unpacked copy.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
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
    // root: the gateway's package alone; both: with the stand-ins beside it.
    packLog = Sh("cd " + dir.Path() + " && cpack -G DEB --config " PEMRIX_BUILD_DIR "/CPackConfig.cmake -B . && " +
                 "mv pemrix_*.deb pemrix.deb && mv pemrix-standins_*.deb standins.deb && dpkg -x pemrix.deb root && " +
                 "dpkg -x pemrix.deb both && dpkg -x standins.deb both");
  }
  void SetUp() override { ASSERT_TRUE(Succeeded(packLog)) << packLog; }
  static inline TempDir dir{"pemrix-package"};
  static inline std::string packLog, deb = dir.File("pemrix.deb"), root = dir.File("root"), both = dir.File("both"),
                                     standins = dir.File("standins.deb");
  static inline const std::string plugin = "/usr/" PEMRIX_DAQ_DRIVER_DIR "/Quillet.drv",
                                  standinDir = "/usr/" PEMRIX_STANDINS_DIR;
};

TEST_F(Package, HoldsTheInstallAndDependsOnWhatTheProgramsLink) {
  // Mode and path of each file; secrets readable by root and the pemrix group (postinst) alone.
  const std::string contents = Sh("dpkg-deb --contents " + deb + " | awk '{print $1, $6}'");
  const std::string extra = Sh("dpkg-deb --contents " + standins + " | awk '{print $1, $6}'");
  for (const std::string& line : std::vector<std::string>{
           "-rwxr-xr-x ./usr/bin/Pemrix.Daemon", "-rwxr-xr-x ./usr/bin/Pemrix.DataLogger",
           "-rwxr-xr-x ./usr/bin/pemrix-ctl", "-rw-r--r-- ./etc/pemrix/daemon/app.conf",
           "-rw-r--r-- ./etc/pemrix/daemon/log.conf", "-rw-r----- ./etc/pemrix/daemon/mqtt.json",
           "-rw-r--r-- ./etc/pemrix/datalogger/app.conf", "-rw-r--r-- ./usr/lib/systemd/system/pemrix-daemon.service",
           "-rw-r--r-- ./usr/share/man/man1/pemrix-ctl.1.gz", "-rw-r--r-- ./usr/share/man/man8/Pemrix.Daemon.8.gz",
           "-rw-r--r-- ./usr/share/man/man8/Pemrix.DataLogger.8.gz",
           "-rw-r--r-- ./usr/share/man/man5/pemrix-mqtt.json.5.gz", "-rw-r--r-- ./usr/share/doc/pemrix/copyright",
           "-rw-r--r-- ./usr/share/man/man5/pemrix-data_logger.json.5.gz",
           "-rw-r--r-- ./usr/share/doc/pemrix/changelog.gz",
           "-rw-r----- ./usr/share/pemrix/examples/Project/data_logger.json", "-rw-r--r-- ." + plugin})
    EXPECT_NE(contents.find(line + "\n"), std::string::npos) << line << " missing from\n" << contents;
  for (const std::string& line : std::vector<std::string>{"-rwxr-xr-x ." + standinDir + "/bin/pemrix-daqsvc",
                                                          "-rwxr-xr-x ." + standinDir + "/bin/pemrix-hostsvc",
                                                          "-rw-r--r-- ." + standinDir + "/lib/libStrata.so.1.0.0",
                                                          "-rw-r--r-- ./usr/share/doc/pemrix-standins/copyright"})
    EXPECT_NE(extra.find(line + "\n"), std::string::npos) << line << " missing from\n" << extra;
  // Nothing of the stand-ins in the gateway's package; nothing of theirs outside their own folder.
  for (const char* name : {"libStrata", "libPlinth", "daqsvc", "hostsvc"})
    EXPECT_EQ(contents.find(name), std::string::npos) << name << " in\n" << contents;
  std::istringstream paths(extra.substr(0, extra.rfind("status")));
  for (std::string mode, path; paths >> mode >> path;) {
    const std::string own = "." + standinDir + "/", doc = "./usr/share/doc/pemrix-standins/";
    EXPECT_TRUE(path.rfind(own, 0) == 0 || path.rfind(doc, 0) == 0 ||
                (mode[0] == 'd' && (own.rfind(path, 0) == 0 || doc.rfind(path, 0) == 0)))
        << path;
  }
  for (const std::string& control : {deb, standins}) {
    EXPECT_EQ(Sh("dpkg-deb -f " + control + " Maintainer").find("localhost"), std::string::npos);
    const std::string description = Sh("dpkg-deb -f " + control + " Description");
    EXPECT_GT(std::count(description.begin(), description.end(), '\n'), 6) << description;
  }
  // One package name a line; the sanitizer runtimes come with the test build alone.
  std::string depends = Sh("dpkg-deb -f " + deb + " Depends");
  std::string names =
      Sh("cd " + dir.Path() + " && mkdir -p debian && printf 'Source: p\\n\\nPackage: p\\nArchitecture: any\\n'" +
         " >debian/control && dpkg-shlibdeps -O " + root + "/usr/bin/* 2>/dev/null | " +
         "sed -e 's/^shlibs:Depends=//' -e 's/ ([^)]*)//g' -e 's/, /\\n/g' | grep -v san");
  ASSERT_NE(names.find("libc6\n"), std::string::npos) << names;
  std::istringstream lines(names.substr(0, names.rfind("status")));
  for (std::string name; std::getline(lines, name);)
    EXPECT_NE(depends.find(name), std::string::npos) << name << " missing from Depends: " << depends;
}

// Alone, the plug-in leaves libStrata to the acquisition service that loads it; beside the stand-ins, the stand-in
// service has loaded theirs by the soname the plug-in asks for. Either way it exports its two entry points only.
TEST_F(Package, PluginResolvesTheCoreOfItsLayoutExportsItsEntryPointsAndTheToolRuns) {
  const std::string alone = Sh("ldd " + root + plugin);
  EXPECT_NE(alone.find("libStrata.so.1 => not found"), std::string::npos) << alone;
  EXPECT_EQ(alone.find(root), std::string::npos) << alone;
  const std::string service = Sh("ldd " + both + standinDir + "/bin/pemrix-daqsvc");
  EXPECT_NE(service.find("libStrata.so.1 => " + both + standinDir + "/bin/../lib/libStrata.so.1"), std::string::npos)
      << service;
  EXPECT_NE(Sh("readelf -d " + both + plugin).find("Shared library: [libStrata.so.1]"), std::string::npos);
  EXPECT_EQ(Sh("nm -D --defined-only --format=just-symbols " + root + plugin),
            "CreateDeviceDriver\n_Z15NodeStringParseRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERiRS4_\n"
            "status 0\n");
  EXPECT_EQ(Sh(root + "/usr/bin/pemrix-ctl --version"), "pemrix-ctl " PEMRIX_VERSION "\nstatus 0\n");
  if (Succeeded(Sh("command -v mandoc"))) {
    EXPECT_EQ(
        Sh("for page in " + root + "/usr/share/man/man*/*; do zcat $page | mandoc -T lint -W warning || exit 1; done"),
        "status 0\n");
  }
}

TEST_F(Package, UnitsPassTheServiceManagersLint) {
  if (!Succeeded(Sh("command -v systemd-analyze"))) GTEST_SKIP() << "systemd-analyze not installed";
  for (std::string unit : {"pemrix-daemon.service", "pemrix-datalogger.service"}) {
    // The lint wants the programs at their ExecStart paths: point it at the copy.
    std::string text = ReadFile(root + "/usr/lib/systemd/system/" + unit);
    for (size_t at; (at = text.find("=/usr/")) != std::string::npos;) text.replace(at + 1, 0, root);
    WriteFile(dir.File(unit), text);
    EXPECT_NE(text.find("\nWatchdogSec="), std::string::npos);
    EXPECT_NE(text.find("\nUMask=0077\n"), std::string::npos);
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
                std::to_string(FreeTcpPort()) + R"(,"database_name":"d"}},)"
                R"("measurements":[{"id":"m","fields":[{"device_id":"d","tag_id":"t"}],"cycle_ms":1000}]})");
  WriteFile(run.File("local.conf"), R"({"project_path":")" + run.File("Project") + R"(","daq_api":")" + run.Ipc("daq") +
                                        R"(","host_api":")" + run.Ipc("host") + R"("})");
  // The shipped configuration passes the program's own check.
  EXPECT_TRUE(Succeeded(Sh("cd " + folder + " && " + program + " --check-config " + run.File("local.conf"))));
  EXPECT_NE(Sh(program + " --version").find(PEMRIX_VERSION), std::string::npos);
  int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_un addr{AF_UNIX, {}};
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", run.File("notify").c_str());
  ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  // A watchdog asked for: the programs' loops turn, so pings come.
  std::string notices, env = "NOTIFY_SOCKET=" + run.File("notify"), watchdog = "WATCHDOG_USEC=6000000";
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
    Process p({{program, run.File("local.conf"), "ignored-extra-argument"},
               folder,
               {env, watchdog},
               run.File(std::to_string(sig))});
    ASSERT_TRUE(p.Start());
    EXPECT_TRUE(noticed("READY=1")) << notices << p.Output();
    EXPECT_TRUE(noticed("WATCHDOG=1")) << notices << p.Output();
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
