// --check-config names file and key of every problem and connects to nothing (running is the package test's).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "TestSupport.h"

using namespace pemrix::testing;

namespace {

// Each case changes one file of a usable set; without log.conf the program logs to its output.
TEST(CheckConfig, EveryProblemNamesFileAndKey) {
  const std::string mqtt = R"({"mqtt_topic_root":"/t","mqtt_client":{"host":"h","keep_alive":60,"reconnect_time":1,)";
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
      {"pemrix-daqsvc", "global.conf",
       R"({"devices":[{"id":"d","driver":"x.drv","profile":"p","channel":{"endpoint":"opc.tcp://h","user":"u",)"
       R"("password_file":"none","security_mode":"Sign","security_policy":"None"}}]})",
       1, "password_file : expected a readable file holding the password (No such file or directory)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.program) + " " + c.file + " " + c.text);
    TempDir dir;
    mkdir(dir.File("project").c_str(), 0755);
    WriteFile(dir.File("app.conf"), R"({"project_path":"project/"})");
    WriteFile(dir.File("global.conf"), "{}");
    WriteFile(dir.File("mqtt.json"), mqtt + R"("port":1883,"encryption_mode":0}})");
    WriteFile(dir.File("project/data_logger.json"), database + R"("port":8086}},)" + measurements + "100}]}");
    c.text.empty() ? (void)std::remove(dir.File(c.file).c_str()) : WriteFile(dir.File(c.file), c.text);
    Process p({{BinPath(c.program), dir.File("global.conf"), "--check-config"}, dir.Path(), {}, dir.File("out")});
    ASSERT_TRUE(p.Start() && p.Wait(20s));
    EXPECT_EQ(p.ExitCode(), c.status) << p.Output();
    EXPECT_NE(p.Output().find(c.expect), std::string::npos) << p.Output();
    EXPECT_NE(p.Output().find(c.status ? "Configuration has " : "Configuration OK"), std::string::npos);
  }
}

}  // namespace
