// Both programs start from their working directory's log.conf and app.conf,
// take an optional second configuration file, and stop in order on SIGINT and
// SIGTERM (exit status 0), but end abnormally with a crash report on SIGSEGV.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <memory>

#include "TestSupport.h"

using namespace pemrix::testing;

namespace {

struct ProgramCase {
  const char* program;
  const char* name;
};

class ProgramLifecycle : public ::testing::TestWithParam<ProgramCase> {
 protected:
  void SetUp() override {
    WriteFile(dir.File("log.conf"),
              "* GLOBAL:\n"
              "   FORMAT = \"%datetime %level %msg\"\n"
              "   FILENAME = \"" +
                  dir.File("program.log") +
                  "\"\n"
                  "   TO_FILE = true\n"
                  "   TO_STANDARD_OUTPUT = false\n"
                  "   MAX_LOG_FILE_SIZE = 1048576\n"
                  "   LOG_FLUSH_THRESHOLD = 0\n"
                  "* DEBUG:\n"
                  "   ENABLED = false\n");
    WriteFile(dir.File("app.conf"), R"({"project_path":"project/","host_api":")" + dir.Ipc("host") +
                                        R"(","daq_api":")" + dir.Ipc("daq") + R"("})");
    WriteFile(dir.File("global.conf"), R"({"mqtt_api":"ipc:///tmp/second.ipc"})");
    // The daemon needs MQTT settings; nothing listens on the port, so it
    // keeps retrying in the background while the test runs.
    WriteFile(dir.File("mqtt.json"), R"({"mqtt_topic_root":"/t","mqtt_client":{"host":"127.0.0.1","port":)" +
                                         std::to_string(FreeTcpPort()) +
                                         R"(,"keep_alive":60,"reconnect_time":1,"encryption_mode":0}})");
    mkdir(dir.File("project").c_str(), 0755);
  }

  std::unique_ptr<Process> Launch() {
    Process::Options o;
    o.argv = {BinPath(GetParam().program), dir.File("global.conf"), "ignored-extra-argument"};
    o.cwd = dir.Path();
    o.output = dir.File("stdout.txt");
    auto p = std::make_unique<Process>(o);
    EXPECT_TRUE(p->Start());
    return p;
  }

  std::string Log() { return ReadFile(dir.File("program.log")); }

  bool LogHas(const std::string& text) {
    return WaitUntil([&] { return Log().find(text) != std::string::npos; }, 10s);
  }

  TempDir dir;
};

TEST_P(ProgramLifecycle, StopsInOrderOnSigintAndSigterm) {
  for (int sig : {SIGINT, SIGTERM}) {
    WriteFile(dir.File("program.log"), "");
    auto p = Launch();
    ASSERT_TRUE(LogHas("Load Global Config : " + dir.File("global.conf"))) << Log() << p->Output();
    ASSERT_TRUE(LogHas(" = ipc:///tmp/second.ipc")) << Log();  // "API Bind" or "MQTT API"
    p->Signal(sig);
    ASSERT_TRUE(p->Wait(10s)) << "no orderly stop on signal " << sig << "\n" << Log();
    EXPECT_EQ(p->ExitCode(), 0) << Log() << p->Output();
    std::string log = Log();
    EXPECT_NE(log.find("Config File Path = "), std::string::npos);
    EXPECT_NE(log.find("Signal Code = " + std::to_string(sig)), std::string::npos) << log;
    // The first file's keys survive the second file.
    EXPECT_NE(log.find("Project Path = "), std::string::npos);
    EXPECT_EQ(log.find("ignored-extra-argument"), std::string::npos);
  }
}

TEST_P(ProgramLifecycle, SegfaultWritesCrashReportAndEndsAbnormally) {
  auto p = Launch();
  ASSERT_TRUE(LogHas("Config File Path = ")) << Log();
  p->Signal(SIGSEGV);
  ASSERT_TRUE(p->Wait(10s)) << Log();
  EXPECT_NE(p->TermSignal(), 0) << "exit code " << p->ExitCode();
  std::string log = Log();
  EXPECT_NE(log.find("FATAL"), std::string::npos) << log;
  EXPECT_NE(log.find("SIGSEGV"), std::string::npos) << log;
  EXPECT_EQ(log.find("Signal Code"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Programs, ProgramLifecycle,
                         ::testing::Values(ProgramCase{"Pemrix.Daemon", "Daemon"},
                                           ProgramCase{"Pemrix.DataLogger", "DataLogger"}),
                         [](const auto& info) { return std::string(info.param.name); });

// --check-config loads every file, names file and key of each problem and
// answers with its exit status, connecting to nothing. Each case changes one
// file of a usable set.
TEST(CheckConfig, EveryProblemNamesFileAndKey) {
  const std::string client = R"("host":"127.0.0.1","port":1883,"keep_alive":60,"reconnect_time":1)";
  const std::string measurement = R"({"id":"m","fields":[{"device_id":"d","tag_id":"t"}],"cycle_ms":)";
  const std::string database = R"({"database":{"driver":"influxdb","influxdb":{"host":"127.0.0.1","port":)";
  struct Case {
    const char* program;
    const char* file;  // relative to the working directory
    std::string text;  // empty: the file is removed
    int status;
    const char* expect;
  };
  const Case cases[] = {
      {"Pemrix.Daemon", "mqtt.json", "", 1, "'mqtt.json' file does not exist!"},
      {"Pemrix.Daemon", "mqtt.json",
       R"({"mqtt_topic_root":"/t","mqtt_client":{)" + client + R"(,"encryption_mode":5}})", 1,
       "'mqtt.json' : mqtt_client.encryption_mode : expected one of 0, 1, 2, found number 5"},
      {"Pemrix.Daemon", "mqtt.json",
       R"({"mqtt_topic_root":"/t","mqtt_client":{"port":"1883","host":"h","keep_alive":60,"reconnect_time":1,)"
       R"("encryption_mode":0}})",
       1, "'mqtt.json' : mqtt_client.port : expected an integer from 1 to 65535, found string \"1883\""},
      {"Pemrix.Daemon", "mqtt.json",
       R"({"mqtt_topic_root":"/t","mqtt_client":{)" + client + R"(,"encryption_mode":0.0,"usernmae":"u"}})", 0,
       "WARNING [default] 'mqtt.json' : unknown keys mqtt_client.usernmae"},
      {"Pemrix.Daemon", "app.conf", R"({"host_api":5})", 1, "app.conf' : host_api : expected a string, found number 5"},
      {"Pemrix.Daemon", "global.conf", R"({"runtime_path":[]})", 1,
       "global.conf' : runtime_path : expected a string, found array []"},
      {"Pemrix.DataLogger", "app.conf", R"({"project_path":"project/","daq_api":)", 1, "app.conf' : [json.exception"},
      {"Pemrix.DataLogger", "project/data_logger.json", "", 1, "data_logger.json' file does not exist!"},
      {"Pemrix.DataLogger", "project/data_logger.json",
       database +
           R"(8086.0,"database_name":"d"}},)"
           R"("measurements":[)" +
           measurement + "250.9}]}",
       1,
       "data_logger.json' : measurements[0].cycle_ms : expected an integer from 1 to 2147483647, found number 250.9"},
      {"Pemrix.DataLogger", "project/data_logger.json", database + R"("8086","database_name":"d"}}})", 1,
       "data_logger.json' : database.influxdb.port : expected an integer from 1 to 65535, found string"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.program) + " " + c.file + " " + c.text);
    TempDir dir;
    mkdir(dir.File("project").c_str(), 0755);
    WriteFile(dir.File("app.conf"), R"({"project_path":"project/"})");
    WriteFile(dir.File("global.conf"), "{}");
    WriteFile(dir.File("mqtt.json"),
              R"({"mqtt_topic_root":"/t","mqtt_client":{)" + client + R"(,"encryption_mode":0}})");
    WriteFile(dir.File("project/data_logger.json"),
              database + R"(8086,"database_name":"d"}},"measurements":[)" + measurement + "100}]}");
    if (c.text.empty()) {
      std::remove(dir.File(c.file).c_str());
    } else {
      WriteFile(dir.File(c.file), c.text);
    }
    Process::Options o;
    o.argv = {BinPath(c.program), dir.File("global.conf"), "--check-config"};
    o.cwd = dir.Path();
    o.output = dir.File("out.txt");
    Process p(o);
    ASSERT_TRUE(p.Start());
    ASSERT_TRUE(p.Wait(20s));
    EXPECT_EQ(p.ExitCode(), c.status) << p.Output();
    EXPECT_NE(p.Output().find(c.expect), std::string::npos) << p.Output();
    EXPECT_NE(p.Output().find(c.status ? "Configuration has " : "Configuration OK"), std::string::npos);
  }
}

}  // namespace
