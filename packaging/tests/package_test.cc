// The Debian package as an operator gets it: packed from this build, it holds
// the install, depends on what the programs link, carries units that pass
// systemd's lint, and both programs start from an unpacked copy the way their
// units start them, telling the service manager when they are ready and when
// they stop.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <sstream>

#include "TestSupport.h"

using namespace pemrix::testing;

namespace {

std::string Capture(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof(buf), pipe)) > 0;) out.append(buf, n);
  pclose(pipe);
  return out;
}

class Package : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new TempDir("pemrix-package");
    std::string build = PEMRIX_BUILD_DIR;
    std::string log = Capture("cpack -G DEB --config '" + build + "/CPackConfig.cmake' -B '" + dir->Path() + "' 2>&1");
    deb = Capture("ls '" + dir->Path() + "'/pemrix_*.deb 2>/dev/null | head -n 1");
    if (!deb.empty()) deb.pop_back();  // the newline
    if (deb.empty() || RunShell("dpkg -x '" + deb + "' '" + Root() + "'") != 0) {
      deb.clear();
      packLog = log;
    }
  }
  static void TearDownTestSuite() { delete dir; }
  void SetUp() override { ASSERT_FALSE(deb.empty()) << packLog; }

  static std::string Root() { return dir->File("root"); }

  static inline TempDir* dir = nullptr;
  static inline std::string deb, packLog;
};

TEST_F(Package, HoldsTheProgramsPluginConfigurationAndUnits) {
  std::string contents = Capture("dpkg-deb --contents '" + deb + "'");
  std::string drivers = "./usr/lib/pemrix/drivers/";
  for (std::string path :
       {"./usr/bin/Pemrix.Daemon", "./usr/bin/Pemrix.DataLogger", "./etc/pemrix/daemon/app.conf",
        "./etc/pemrix/daemon/log.conf", "./etc/pemrix/daemon/mqtt.json", "./etc/pemrix/datalogger/app.conf",
        "./etc/pemrix/datalogger/log.conf", "./usr/lib/systemd/system/pemrix-daemon.service",
        "./usr/lib/systemd/system/pemrix-datalogger.service", "./usr/share/pemrix/examples/Project/data_logger.json"})
    EXPECT_NE(contents.find(path + "\n"), std::string::npos) << path << " missing from\n" << contents;
  for (std::string lib : {"Quillet.drv", "libStrata.so", "libPlinth.so"})
    EXPECT_NE(contents.find(drivers + lib + "\n"), std::string::npos) << lib << " missing from\n" << contents;
  EXPECT_EQ(contents.find("pemrix-daqsvc"), std::string::npos) << "stand-ins are not shipped";
  // The plug-in finds its platform libraries beside itself wherever it lands.
  std::string ldd = Capture("ldd '" + Root() + drivers.substr(1) + "Quillet.drv'");
  EXPECT_NE(ldd.find(Root() + drivers.substr(1) + "libPlinth.so"), std::string::npos) << ldd;
  EXPECT_EQ(ldd.find("not found"), std::string::npos) << ldd;
}

TEST_F(Package, DependsOnEveryPackageTheProgramsLink) {
  std::string depends = Capture("dpkg-deb -f '" + deb + "' Depends");
  RunShell("mkdir -p '" + dir->File("debian") + "'");
  WriteFile(dir->File("debian/control"), "Source: probe\n\nPackage: probe\nArchitecture: any\n");
  std::string found = Capture("cd '" + dir->Path() + "' && dpkg-shlibdeps -O '" + Root() + "/usr/bin/Pemrix.Daemon' '" +
                              Root() + "/usr/bin/Pemrix.DataLogger' 2>/dev/null");
  ASSERT_NE(found.find("shlibs:Depends="), std::string::npos) << found;
  std::istringstream names(found.substr(found.find('=') + 1));
  for (std::string item; std::getline(names, item, ',');) {
    std::string name = item.substr(item.find_first_not_of(' '));
    name = name.substr(0, name.find_first_of(" \n"));
    // The sanitizer runtimes come only with the test build.
    if (name.rfind("libasan", 0) == 0 || name.rfind("libubsan", 0) == 0) continue;
    EXPECT_NE(depends.find(name), std::string::npos) << name << " missing from Depends: " << depends;
  }
}

TEST_F(Package, UnitsPassTheServiceManagersLint) {
  if (RunShell("command -v systemd-analyze >/dev/null") != 0) GTEST_SKIP() << "systemd-analyze not installed";
  for (std::string unit : {"pemrix-daemon.service", "pemrix-datalogger.service"}) {
    // The lint wants the programs at their ExecStart paths: point it at the copy.
    std::string text = ReadFile(Root() + "/usr/lib/systemd/system/" + unit);
    for (size_t at; (at = text.find("=/usr/")) != std::string::npos;) text.replace(at + 1, 0, Root());
    WriteFile(dir->File(unit), text);
    std::string out = Capture("systemd-analyze verify '" + dir->File(unit) + "' 2>&1; echo status $?");
    EXPECT_EQ(out, "status 0\n") << unit;
  }
}

struct ProgramCase {
  const char* program;
  const char* folder;
};

class InstalledProgram : public Package, public ::testing::WithParamInterface<ProgramCase> {};

TEST_P(InstalledProgram, StartsFromItsFolderReportsReadyAndStopsInOrder) {
  TempDir run;
  int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  ASSERT_GE(notify, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", run.File("notify").c_str());
  ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  std::string notices;
  auto noticed = [&](const std::string& what) {
    return WaitUntil(
        [&] {
          char buf[256];
          for (ssize_t n; (n = recv(notify, buf, sizeof(buf), 0)) > 0;) notices.append(buf, n).append("\n");
          return notices.find(what) != std::string::npos;
        },
        10s);
  };
  // Its own project and peers, so nothing on this machine is touched.
  RunShell("mkdir '" + run.File("Project") + "'");
  WriteFile(run.File("Project/data_logger.json"),
            R"({"database":{"driver":"influxdb","influxdb":{"host":"127.0.0.1","port":)" +
                std::to_string(FreeTcpPort()) + R"(,"database_name":"d"}},"measurements":[]})");
  WriteFile(run.File("local.conf"), R"({"project_path":")" + run.File("Project") + R"(","daq_api":")" + run.Ipc("daq") +
                                        R"(","host_api":")" + run.Ipc("host") + R"("})");
  const std::string program = Root() + "/usr/bin/" + GetParam().program;
  const std::string folder = Root() + "/etc/pemrix/" + GetParam().folder;
  // The shipped configuration passes the program's own check.
  std::string check = Capture("cd '" + folder + "' && '" + program + "' --check-config '" + run.File("local.conf") +
                              "' 2>&1; echo status $?");
  EXPECT_NE(check.find("status 0\n"), std::string::npos) << check;
  EXPECT_NE(Capture("'" + program + "' --version").find(PEMRIX_VERSION), std::string::npos);
  Process::Options o;
  o.argv = {program, run.File("local.conf")};
  o.cwd = folder;
  o.env = {"NOTIFY_SOCKET=" + run.File("notify")};
  o.output = run.File("out.txt");
  Process p(o);
  ASSERT_TRUE(p.Start());
  EXPECT_TRUE(noticed("READY=1")) << notices << p.Output();
  p.Signal(SIGTERM);
  EXPECT_TRUE(noticed("STOPPING=1")) << notices << p.Output();
  ASSERT_TRUE(p.Wait(10s)) << p.Output();
  EXPECT_EQ(p.ExitCode(), 0) << p.Output();
  close(notify);
}

INSTANTIATE_TEST_SUITE_P(Programs, InstalledProgram,
                         ::testing::Values(ProgramCase{"Pemrix.Daemon", "daemon"},
                                           ProgramCase{"Pemrix.DataLogger", "datalogger"}),
                         [](const auto& info) { return std::string(info.param.folder); });

}  // namespace
