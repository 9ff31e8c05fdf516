// Both programs start from their working directory's app.conf, take an
// optional second configuration file, stop in order on SIGINT and SIGTERM
// (exit status 0), end abnormally with a crash report on SIGSEGV, and name
// file and key of every configuration problem.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>

#include "TestSupport.h"

using namespace pemrix::testing;

namespace {

// Runs program in dir with arguments; without log.conf it logs to its output.
std::unique_ptr<Process> Launch(const TempDir& dir, const std::string& program, const std::string& argument) {
  auto p = std::make_unique<Process>(
      Process::Options{{BinPath(program), dir.File("global.conf"), argument}, dir.Path(), {}, dir.File("out.txt")});
  EXPECT_TRUE(p->Start());
  return p;
}

class ProgramLifecycle : public ::testing::TestWithParam<const char*> {};

TEST_P(ProgramLifecycle, StopsInOrderOnSigintAndSigtermButNotOnSigsegv) {
  for (int sig : {SIGINT, SIGTERM, SIGSEGV}) {
    SCOPED_TRACE(sig);
    TempDir dir;
    WriteFile(dir.File("app.conf"), R"({"project_path":"project/","host_api":")" + dir.Ipc("host") +
                                        R"(","daq_api":")" + dir.Ipc("daq") + R"("})");
    WriteFile(dir.File("global.conf"), R"({"mqtt_api":"ipc:///tmp/second.ipc"})");
    // Nothing listens on the broker's port: the daemon keeps retrying meanwhile.
    WriteFile(dir.File("mqtt.json"), R"({"mqtt_topic_root":"/t","mqtt_client":{"host":"127.0.0.1","port":)" +
                                         std::to_string(FreeTcpPort()) +
                                         R"(,"keep_alive":60,"reconnect_time":1,"encryption_mode":0}})");
    mkdir(dir.File("project").c_str(), 0755);
    auto p = Launch(dir, GetParam(), "ignored-extra-argument");
    ASSERT_TRUE(WaitUntil([&] { return p->Output().find(" = ipc:///tmp/second.ipc") != std::string::npos; }, 10s))
        << p->Output();  // "API Bind" or "MQTT API"
    p->Signal(sig);
    ASSERT_TRUE(p->Wait(10s)) << p->Output();
    const std::string log = p->Output();
    EXPECT_NE(log.find("Load Global Config : " + dir.File("global.conf")), std::string::npos) << log;
    EXPECT_NE(log.find("Project Path = "), std::string::npos);  // the first file's keys survive the second
    EXPECT_EQ(log.find("ignored-extra-argument"), std::string::npos);
    if (sig == SIGSEGV) {
      EXPECT_NE(p->TermSignal(), 0) << "exit code " << p->ExitCode();
      EXPECT_NE(log.find("FATAL"), std::string::npos) << log;
      EXPECT_NE(log.find("SIGSEGV"), std::string::npos);
      EXPECT_EQ(log.find("Signal Code"), std::string::npos);
    } else {
      EXPECT_EQ(p->ExitCode(), 0) << log;
      EXPECT_NE(log.find("Signal Code = " + std::to_string(sig)), std::string::npos) << log;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Programs, ProgramLifecycle, ::testing::Values("Pemrix.Daemon", "Pemrix.DataLogger"),
                         [](const auto& info) { return std::string(info.param).substr(7); });

// --check-config connects to nothing and answers with its exit status. Each
// case changes one file of a usable set.
TEST(CheckConfig, EveryProblemNamesFileAndKey) {
  const std::string mqtt = R"({"mqtt_topic_root":"/t","mqtt_client":{"host":"127.0.0.1","keep_alive":60,)"
                           R"("reconnect_time":1,)";
  const std::string database =
      R"({"database":{"driver":"influxdb","influxdb":{"host":"127.0.0.1","database_name":"d",)";
  const std::string measurements = R"("measurements":[{"id":"m","fields":[{"device_id":"d","tag_id":"t"}],"cycle_ms":)";
  const struct {
    const char* program;
    const char* file;  // in the working directory
    std::string text;  // empty: the file is removed
    int status;
    const char* expect;
  } cases[] = {
      {"Pemrix.Daemon", "mqtt.json", "", 1, "'mqtt.json' file does not exist!"},
      {"Pemrix.Daemon", "mqtt.json", mqtt + R"("port":1883,"encryption_mode":5}})", 1,
       "'mqtt.json' : mqtt_client.encryption_mode : expected one of 0, 1, 2, found number 5"},
      {"Pemrix.Daemon", "mqtt.json", mqtt + R"("port":"1883","encryption_mode":0}})", 1,
       "'mqtt.json' : mqtt_client.port : expected an integer from 1 to 65535, found string \"1883\""},
      {"Pemrix.Daemon", "mqtt.json", mqtt + R"("port":1883.9,"encryption_mode":0}})", 1,
       "'mqtt.json' : mqtt_client.port : expected an integer from 1 to 65535, found number 1883.9"},
      {"Pemrix.Daemon", "mqtt.json", mqtt + R"("port":1883,"encryption_mode":0.0,"usernmae":"u"}})", 0,
       "WARNING [default] 'mqtt.json' : unknown keys mqtt_client.usernmae"},
      {"Pemrix.Daemon", "app.conf", R"({"host_api":5})", 1, "app.conf' : host_api : expected a string, found number 5"},
      {"Pemrix.Daemon", "global.conf", R"({"runtime_path":[]})", 1,
       "global.conf' : runtime_path : expected a string, found array []"},
      {"Pemrix.DataLogger", "app.conf", R"({"project_path":"project/","daq_api":)", 1, "app.conf' : [json.exception"},
      {"Pemrix.DataLogger", "project/data_logger.json", "", 1, "data_logger.json' file does not exist!"},
      {"Pemrix.DataLogger", "project/data_logger.json", database + R"("port":8086.0}},)" + measurements + "250.9}]}", 1,
       "data_logger.json' : measurements[0].cycle_ms : expected an integer from 1 to 2147483647, found number 250.9"},
      {"Pemrix.DataLogger", "project/data_logger.json", database + R"("port":"8086"}}})", 1,
       "data_logger.json' : database.influxdb.port : expected an integer from 1 to 65535, found string"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.program) + " " + c.file + " " + c.text);
    TempDir dir;
    mkdir(dir.File("project").c_str(), 0755);
    WriteFile(dir.File("app.conf"), R"({"project_path":"project/"})");
    WriteFile(dir.File("global.conf"), "{}");
    WriteFile(dir.File("mqtt.json"), mqtt + R"("port":1883,"encryption_mode":0}})");
    WriteFile(dir.File("project/data_logger.json"), database + R"("port":8086}},)" + measurements + "100}]}");
    if (c.text.empty()) std::remove(dir.File(c.file).c_str());
    if (!c.text.empty()) WriteFile(dir.File(c.file), c.text);
    auto p = Launch(dir, c.program, "--check-config");
    ASSERT_TRUE(p->Wait(20s));
    EXPECT_EQ(p->ExitCode(), c.status) << p->Output();
    EXPECT_NE(p->Output().find(c.expect), std::string::npos) << p->Output();
    EXPECT_NE(p->Output().find(c.status ? "Configuration has " : "Configuration OK"), std::string::npos);
  }
}

}  // namespace
