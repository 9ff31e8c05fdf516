// --check-config names file and key of every problem and connects to nothing; hang-ups; the README's quotes.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <regex>

#include "TestSupport.h"

using namespace pemrix::testing;

namespace {

const std::string kMqtt = R"({"mqtt_topic_root":"/t","mqtt_client":{"host":"h","keep_alive":60,"reconnect_time":1,)";
const std::string kDatabase = R"({"database":{"driver":"influxdb","influxdb":{"host":"127.0.0.1","database_name":"d",)";
const std::string kMeasurements = R"("measurements":[{"id":"m","fields":[{"device_id":"d","tag_id":"t"}],"cycle_ms":)";

// A usable set of files in dir: app.conf, global.conf, mqtt.json and the project.
void WriteUsable(TempDir& dir) {
  mkdir(dir.File("project").c_str(), 0755);
  WriteFile(dir.File("app.conf"), R"({"project_path":"project/"})");
  WriteFile(dir.File("global.conf"), "{}");
  WriteFile(dir.File("mqtt.json"), kMqtt + R"("port":1883,"encryption_mode":0}})");
  WriteFile(dir.File("project/data_logger.json"), kDatabase + R"("port":8086}},)" + kMeasurements + "100}]}");
}

// Each case changes one file of a usable set; without log.conf the program logs to its output.
TEST(CheckConfig, EveryProblemNamesFileAndKeyAndAHangUpLeavesTheUsableSetRunning) {
  const std::string &mqtt = kMqtt, &database = kDatabase, &measurements = kMeasurements;
  const auto client = [](const std::string& keys) {
    return R"({"mqtt_topic_root":"/t","mqtt_client":{)" + keys + "}}";
  };
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
       "'mqtt.json' : mqtt_client.port : expected a number, found string \"1883\""},
      {"Pemrix.Daemon", "mqtt.json", mqtt + R"("port":1883,"encryption_mode":0.0,"usernmae":"u"}})", 0,
       "WARNING 'mqtt.json' : unknown keys mqtt_client.usernmae"},
      // Values files have always carried run again, with a WARNING; what cannot connect is an error.
      {"Pemrix.Daemon", "mqtt.json", mqtt + R"("port":1883.9,"encryption_mode":false}})", 0,
       "WARNING 'mqtt.json' : mqtt_client.port : expected an integer, found number 1883.9; using 1883"},
      {"Pemrix.Daemon", "mqtt.json",
       client(R"("host":"h","port":true,"keep_alive":60,"reconnect_time":-1,"encryption_mode":0)"), 0,
       "WARNING 'mqtt.json' : mqtt_client.reconnect_time : is negative"},
      {"Pemrix.Daemon", "global.conf", "{}", 0, "WARNING Device ID is the default \"gateway\""},
      {"Pemrix.Daemon", "mqtt.json",
       client(R"("host":"h","port":1,"keep_alive":4,"reconnect_time":1,"encryption_mode":0)"), 1,
       "mqtt_client.keep_alive : expected 0 or 5 to 65535 seconds, found 4"},
      {"Pemrix.Daemon", "mqtt.json",
       client(R"("host":"","port":1,"keep_alive":0,"reconnect_time":1,"encryption_mode":0)"), 1,
       "ERROR 'mqtt.json' : mqtt_client.host : is empty"},
      {"Pemrix.Daemon", "mqtt.json", mqtt + R"("port":1,"encryption_mode":1,"ca_file":"ca.crt"}})", 1,
       "ca_file 'ca.crt': No such file or directory"},
      {"Pemrix.Daemon", "mqtt.json", mqtt + R"("port":1,"encryption_mode":2,"cert_password":"0a1g"}})", 1,
       "cert_password (the pre-shared key) is not hexadecimal"},
      {"Pemrix.Daemon", "app.conf", R"({"project_path":"missing/"})", 1, "missing/' does not resolve"},
      {"Pemrix.Daemon", "app.conf", R"({"host_api":5})", 1, "app.conf' : host_api : expected a string, found number 5"},
      {"Pemrix.Daemon", "global.conf", R"({"runtime_path":[]})", 1,
       "global.conf' : runtime_path : expected a string, found array []"},
      {"Pemrix.DataLogger", "app.conf", R"({"project_path":"project/","daq_api":)", 1, "app.conf' : [json.exception"},
      {"Pemrix.DataLogger", "project/data_logger.json", "", 1, "data_logger.json' file does not exist!"},
      {"Pemrix.DataLogger", "project/data_logger.json", database + R"("port":8086.0}},)" + measurements + "250.9}]}", 0,
       "data_logger.json' : measurements[0].cycle_ms : fraction 250.9 truncated to 250"},
      {"Pemrix.DataLogger", "project/data_logger.json",
       database + R"("port":8086}},"queue":{"retry_min_ms":5000,"retry_max_ms":1000},)" + measurements + "100}]}", 1,
       "data_logger.json' : queue.retry_min_ms : expected at most retry_max_ms (1000), found number 5000"},
      {"Pemrix.DataLogger", "project/data_logger.json",
       database + R"("port":8086}},)" + measurements + R"(100},{"id":"m","cycle_ms":200}]})", 1,
       "data_logger.json' : measurements[1].id : expected an id no other measurement has, found string \"m\""},
      {"Pemrix.DataLogger", "project/data_logger.json", database + R"("port":8086}},"measurements":[]})", 1,
       "data_logger.json' : measurements : expected at least one measurement, found array []"},
      {"pemrix-daqsvc", "global.conf",
       R"({"devices":[{"id":"d","driver":"x.drv","profile":"p","channel":{"endpoint":"opc.tcp://h","user":"u",)"
       R"("password_file":"none","security_mode":"Sign","security_policy":"None"}}]})",
       1, "password_file : expected a readable file holding the password (No such file or directory)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.program) + " " + c.file + " " + c.text);
    TempDir dir;
    WriteUsable(dir);
    c.text.empty() ? (void)std::remove(dir.File(c.file).c_str()) : WriteFile(dir.File(c.file), c.text);
    Process p({{BinPath(c.program), dir.File("global.conf"), "--check-config"}, dir.Path(), {}, dir.File("out")});
    ASSERT_TRUE(p.Start() && p.Wait(20s));
    EXPECT_EQ(p.ExitCode(), c.status) << p.Output();
    EXPECT_NE(p.Output().find(c.expect), std::string::npos) << p.Output();
    EXPECT_NE(p.Output().find(c.status ? "Configuration has " : "Configuration OK"), std::string::npos);
    for (const char* noise : {"[default]", "//", " INFO "}) EXPECT_EQ(p.Output().find(noise), std::string::npos);
  }
  // The usable set runs, and a hang-up (a closed terminal, a habit from other daemons) changes nothing.
  TempDir dir;
  WriteUsable(dir);
  const std::string port = std::to_string(FreeTcpPort());
  WriteFile(dir.File("mqtt.json"),
            client(R"("host":"127.0.0.1","keep_alive":60,"reconnect_time":1,"encryption_mode":0,"port":)" + port));
  WriteFile(dir.File("project/data_logger.json"), database + R"("port":)" + port + "}}," + measurements + "100}]}");
  for (const char* program : {"Pemrix.Daemon", "Pemrix.DataLogger"}) {
    Process p({{BinPath(program)}, dir.Path(), {}, dir.File(std::string(program) + ".out")});
    const auto logged = [&](const char* text) { return p.Output().find(text) != std::string::npos; };
    ASSERT_TRUE(p.Start() && WaitUntil([&] { return logged("Config File Path") || !p.Running(); }, 20s));
    p.Signal(SIGHUP);
    EXPECT_TRUE(WaitUntil([&] { return logged("(SIGHUP) ignored") || !p.Running(); }, 20s)) << p.Output();
    EXPECT_TRUE(p.Running() && p.Stop(SIGTERM, 20s) && p.ExitCode() == 0) << p.Output();
  }
}

// Each piece of a quoted `LEVEL text` between "…" placeholders, blanks and colons trimmed, is in the sources.
TEST(Readme, TroubleshootingQuotesOnlyLinesTheSourcesWrite) {
  std::string sources, root = PEMRIX_SOURCE_DIR, readme = ReadFile(root + "/README.md"), dots = "…";
  for (const char* folder : {"/daemon", "/datalogger"})
    for (const auto& file : std::filesystem::recursive_directory_iterator(root + folder))
      if (std::regex_match(file.path().string(), std::regex("(?!.*/tests/).*\\.(cc|cpp|h)$")))
        sources += ReadFile(file.path());
  const size_t start = readme.find("\n## Troubleshooting");
  const std::string section = readme.substr(start, readme.find("\n## ", start + 1) - start);
  const std::regex quoted("`(ERROR|WARNING|INFO) ([^`]*)`");
  int lines = 0;
  for (std::sregex_iterator it(section.begin(), section.end(), quoted), end; it != end; ++it, ++lines) {
    const std::string text = (*it)[2];
    for (size_t from = 0, to; from <= text.size(); from = to + dots.size()) {
      std::string piece = text.substr(from, (to = std::min(text.find(dots, from), text.size())) - from);
      piece = piece.substr(std::min(piece.find_first_not_of(" :"), piece.size()));
      piece.erase(piece.find_last_not_of(" :") + 1);
      EXPECT_TRUE(piece.empty() || sources.find(piece) != std::string::npos) << piece << " in " << text;
    }
  }
  EXPECT_GE(lines, 15);
}

// Configuration is input like any other: each hostile file is one ERROR and exit 1, never a crash or a hang.
TEST(CheckConfig, HostileFilesAreOneErrorEach) {
  const std::pair<std::function<void(const std::string&)>, const char*> kinds[] = {
      {[](const std::string& f) { WriteFile(f, std::string(100000, '[')); }, "nested deeper than 64 levels"},
      {[](const std::string& f) { RunShell("truncate -s 1G '" + f + "'"); }, "bytes exceeds the limit of"},
      {[](const std::string& f) { mkfifo(f.c_str(), 0644); }, ": not a regular file"},
      {[](const std::string& f) { mkdir(f.c_str(), 0755); }, ": not a regular file"},
  };
  const std::pair<const char*, const char*> files[] = {
      {"Pemrix.Daemon", "global.conf"},     {"Pemrix.Daemon", "mqtt.json"},
      {"Pemrix.DataLogger", "global.conf"}, {"Pemrix.DataLogger", "project/data_logger.json"},
      {"pemrix-daqsvc", "global.conf"},     {"pemrix-hostsvc", "global.conf"},
  };
  for (const auto& [program, file] : files) {
    for (const auto& [make, expect] : kinds) {
      SCOPED_TRACE(std::string(program) + " " + file + " " + expect);
      TempDir dir;
      WriteUsable(dir);
      std::remove(dir.File(file).c_str());
      make(dir.File(file));
      Process p({{BinPath(program), dir.File("global.conf"), "--check-config"}, dir.Path(), {}, dir.File("out")});
      ASSERT_TRUE(p.Start() && p.Wait(20s));
      EXPECT_EQ(p.ExitCode(), 1) << p.Output();
      EXPECT_NE(p.Output().find(expect), std::string::npos) << p.Output();
      EXPECT_EQ(p.Output().find("ERROR"), p.Output().rfind("ERROR")) << p.Output();  // one ERROR only
    }
  }
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  EXPECT_LT(usage.ru_maxrss, 400 * 1024) << "a program read a hostile file whole";  // KiB
}

}  // namespace
