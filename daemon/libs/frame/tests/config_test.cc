// Loading app.conf: the directory rule of both programs' key tables, files on
// top of each other, and what bad files and bad values do.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "BoundedJson.h"
#include "ConfigLoader.h"
#include "LogCapture.h"
#include "LogThrottle.h"
#include "Shell.h"
#include "TestSupport.h"

using namespace VESK::frame;
using pemrix::testing::LogCapture;
using pemrix::testing::TempDir;
using pemrix::testing::WriteFile;

namespace {

// The two rules the programs use for directory keys, plus a verbatim key.
struct Config {
  std::string configDir, project, plugin, api = "default-api", name = "Project";
  std::vector<ConfigKey> Keys() {
    return {
        {"project_path", &project, PathRule::DirNoSlash, "Project Path = ", {}},
        {nullptr, nullptr, PathRule::Verbatim, nullptr, [this] { name = GetFolderName(project); }},
        {"plugin_path", &plugin, PathRule::DirTrailingSlash, "Plugin Path = ", {}},
        {"api", &api, PathRule::Verbatim, "API = ", {}},
    };
  }
  void Load(const std::string& path) { LoadConfigFile(path, configDir, Keys()); }
};

}  // namespace

TEST(FolderName, LastComponentWithOneTrailingSlashSkipped) {
  const std::pair<const char*, const char*> cases[] = {
      {"/opt/app/Project", "Project"}, {"/opt/app/Project/", "Project"}, {"/", "/"}, {"a/", "a/"}, {"", ""}};
  for (const auto& [path, name] : cases) EXPECT_EQ(GetFolderName(path), name) << path;
}

TEST(ConfigLoad, DirectoriesResolveAgainstTheFilesFolderAndLaterFilesOverride) {
  TempDir dir, other;
  ASSERT_EQ(mkdir(dir.File("project").c_str(), 0755), 0);
  WriteFile(dir.File("app.conf"), R"({"project_path":"project/","plugin_path":"project","api":"ipc:///x"})");
  Config c;
  c.Load(dir.File("app.conf"));
  std::string canonical = GetAbsPath(dir.Path());
  EXPECT_EQ(c.configDir, canonical + "/");
  EXPECT_EQ(c.project, canonical + "/project");  // no trailing slash
  EXPECT_EQ(c.name, "project");
  EXPECT_EQ(c.plugin, canonical + "/project/");  // always a trailing slash
  EXPECT_EQ(c.api, "ipc:///x");

  // Absolute as written (need not exist), empty is the file's folder; only
  // the keys present change.
  WriteFile(other.File("global.conf"), R"({"project_path":"/opt/pemrix/","plugin_path":"","apl":1})");
  LogCapture log;
  c.Load(other.File("global.conf"));
  EXPECT_EQ(log.Count("global.conf' : unknown keys apl", "WARNING"), 1);
  EXPECT_EQ(c.project, "/opt/pemrix");
  EXPECT_EQ(c.name, "pemrix");
  EXPECT_EQ(c.plugin, GetAbsPath(other.Path()) + "/");
  EXPECT_EQ(c.api, "ipc:///x");
}

// A missing or malformed file changes nothing, not even the keys before the
// fault; a value of the wrong type is skipped and loading goes on.
TEST(ConfigLoad, BadFilesAndValues) {
  const struct {
    const char* text;  // nullptr: no file
    const char* error;
    const char* api;
  } cases[] = {
      {nullptr, "' file does not exist!", "default-api"},
      {R"({"api":"changed", "project_path": )", "bad.conf' : ", "default-api"},
      {R"(["project_path"])", "top level : expected an object, found array", "default-api"},
      {R"({"project_path":42,"api":"kept going"})", "project_path : expected a string, found number 42", "kept going"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    if (c.text) WriteFile(dir.File("bad.conf"), c.text);
    Config config;
    config.project = "/before";
    LogCapture log;
    config.Load(dir.File("bad.conf"));
    EXPECT_EQ(log.Count(c.error, "ERROR"), 1) << c.error;
    EXPECT_EQ(config.api, c.api);
    EXPECT_EQ(config.project, "/before");
  }
}

TEST(ShellQuote, EveryWordStaysOneArgument) {
  TempDir dir;
  for (std::string word : {"plain", "with space", "semi;colon", "it's", "$(touch x)", "a\"b", ""}) {
    std::string out = dir.File("out");
    std::string cmd = "printf %s " + ShellQuote(word) + " > " + ShellQuote(out);
    ASSERT_EQ(pemrix::testing::RunShell(cmd), 0) << word;
    EXPECT_EQ(pemrix::testing::ReadFile(out), word);
  }
  EXPECT_FALSE(pemrix::testing::FileExists("x"));
}

// Texts from peers: the limits hold before anything recursive runs, and a
// log excerpt can neither flood nor forge lines.
TEST(BoundedJson, SizeAndDepthRefusedWithAReason) {
  struct Case {
    std::string text;
    bool ok;
    const char* reason;
  };
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::string edge = std::string(64, '[') + std::string(64, ']');
  const std::string over = std::string(65, '[') + std::string(65, ']');
  for (const Case& c : std::vector<Case>{{R"({"a":[1,{"b":2}]})", true, ""},
                                         {edge, true, ""},
                                         {over, false, "nested deeper"},
                                         {deep, false, "nested deeper"},
                                         {std::string(300000, ' ') + "1", false, "exceeds"},
                                         {"", false, "parse_error"},
                                         {"{\"a\":\"\xff\"}", false, "parse_error"}}) {
    nlohmann::json out = 1;
    std::string error;
    EXPECT_EQ(ParseBoundedJson(c.text, out, error, JsonLimits{300000, 64}), c.ok) << c.text.substr(0, 20);
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    if (!c.ok) {
      EXPECT_TRUE(out.is_null());
    }
  }
  EXPECT_EQ(LogExcerpt(std::string("a\nb") + std::string(300, 'x'), 4), "a?bx...(303 bytes)");
  EXPECT_EQ(SafeDump(nlohmann::json("a\xff")), "\"a\xEF\xBF\xBD\"");
}

TEST(LogThrottle, RepeatsFoldIntoOneLinePerMinutePerKey) {
  LogThrottle::Clock::time_point now{};
  LogThrottle throttle(std::chrono::minutes(1), [&now] { return now; });
  struct Step {
    int atSeconds;
    const char* key;
    bool logged;
    const char* suffix;
  } steps[] = {
      {0, "a", true, ""},
      {10, "a", false, ""},
      {20, "b", true, ""},
      {59, "a", false, ""},
      {60, "a", true, " (repeated 2 times since the last line)"},
      {61, "a", false, ""},
      {200, "a", true, " (repeated 1 times since the last line)"},
      {201, "b", true, ""},
  };
  for (const auto& step : steps) {
    now = LogThrottle::Clock::time_point{} + std::chrono::seconds(step.atSeconds);
    std::string suffix = "stale";
    EXPECT_EQ(throttle.Allow(step.key, suffix), step.logged) << step.atSeconds << step.key;
    EXPECT_EQ(suffix, step.suffix) << step.atSeconds << step.key;
  }
  throttle.Forget("a");
  std::string suffix;
  EXPECT_TRUE(throttle.Allow("a", suffix)) << "a failure that ended logs its next occurrence at once";
}
