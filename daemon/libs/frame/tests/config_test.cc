// Loading app.conf, the bounded reader of peer texts, shell quoting and the log throttle.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "BoundedJson.h"
#include "ConfigLoader.h"
#include "LogCapture.h"
#include "LogThrottle.h"
#include "Shell.h"
#include "TestSupport.h"

using namespace VESK::frame;
using namespace pemrix::testing;

namespace {
// The two rules the programs use for directory keys, plus a verbatim key.
struct Config {
  std::string configDir, project = "/before", plugin, api = "default-api", name;
  void Load(const std::string& path) {
    LoadConfigFile(path, configDir,
                   {{"project_path", &project, PathRule::DirNoSlash, "Project Path = ", {}},
                    {nullptr, nullptr, PathRule::Verbatim, nullptr, [this] { name = GetFolderName(project); }},
                    {"plugin_path", &plugin, PathRule::DirTrailingSlash, "Plugin Path = ", {}},
                    {"api", &api, PathRule::Verbatim, "API = ", {}}});
  }
};
}  // namespace

TEST(FolderName, LastComponentWithOneTrailingSlashSkipped) {
  for (auto [path, name] :
       {std::pair{"/opt/app/Project", "Project"}, {"/opt/app/Project/", "Project"}, {"/", "/"}, {"a/", "a/"}, {"", ""}})
    EXPECT_EQ(GetFolderName(path), name) << path;
}

TEST(ConfigLoad, DirectoriesResolveAgainstTheFilesFolderAndLaterFilesOverride) {
  TempDir dir, other;
  ASSERT_EQ(mkdir(dir.File("project").c_str(), 0755), 0);
  WriteFile(dir.File("app.conf"), R"({"project_path":"project/","plugin_path":"project","api":"ipc:///x"})");
  Config c;
  c.Load(dir.File("app.conf"));
  const std::string canonical = GetAbsPath(dir.Path());
  EXPECT_EQ(c.configDir, canonical + "/");
  EXPECT_EQ(c.project, canonical + "/project");  // no trailing slash
  EXPECT_EQ(c.name, "project");
  EXPECT_EQ(c.plugin, canonical + "/project/");  // always a trailing slash
  // Absolute as written (need not exist), empty is the file's folder; only the keys present change.
  WriteFile(other.File("global.conf"), R"({"project_path":"/opt/pemrix/","plugin_path":"","apl":1})");
  LogCapture log;
  c.Load(other.File("global.conf"));
  EXPECT_EQ(log.Count("global.conf' : unknown keys apl", "WARNING"), 1);
  EXPECT_EQ(c.project, "/opt/pemrix");
  EXPECT_EQ(c.name, "pemrix");
  EXPECT_EQ(c.plugin, GetAbsPath(other.Path()) + "/");
  EXPECT_EQ(c.api, "ipc:///x");
  // A file reached through a symbolic link loads as it always did.
  WriteFile(other.File("real.conf"), R"({"api":"through a link"})");
  ASSERT_EQ(symlink(other.File("real.conf").c_str(), other.File("link.conf").c_str()), 0);
  c.Load(other.File("link.conf"));
  EXPECT_EQ(c.api, "through a link");
}

// A missing or malformed file changes nothing, not even keys before the fault; a wrong type is skipped.
TEST(ConfigLoad, BadFilesAndValues) {
  for (auto [text, error, api] :
       {std::tuple<const char*, const char*, const char*>{nullptr, "' file does not exist!", "default-api"},
        {R"({"api":"changed", "project_path": )", "bad.conf' : ", "default-api"},
        {R"(["project_path"])", "top level : expected an object, found array", "default-api"},
        {R"({"project_path":42,"api":"kept going"})", "project_path : expected a string, found number 42",
         "kept going"}}) {
    TempDir dir;
    if (text) WriteFile(dir.File("bad.conf"), text);
    Config config;
    LogCapture log;
    config.Load(dir.File("bad.conf"));
    EXPECT_EQ(log.Count(error, "ERROR"), 1) << error;
    EXPECT_EQ(config.api, api);
    EXPECT_EQ(config.project, "/before");
  }
}

TEST(ShellQuote, EveryWordStaysOneArgument) {
  TempDir dir;
  for (std::string word : {"plain", "with space", "semi;colon", "it's", "$(touch x)", "a\"b", ""}) {
    ASSERT_EQ(RunShell("printf %s " + ShellQuote(word) + " > " + ShellQuote(dir.File("out"))), 0) << word;
    EXPECT_EQ(ReadFile(dir.File("out")), word);
  }
  EXPECT_FALSE(FileExists("x"));
}

// Limits hold before anything recursive runs; a log excerpt can neither flood nor forge lines.
TEST(BoundedJson, SizeAndDepthRefusedWithAReason) {
  auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  for (auto [text, ok, reason] : {std::tuple<std::string, bool, const char*>{R"({"a":[1,{"b":2}]})", true, ""},
                                  {nested(64), true, ""},
                                  {nested(65), false, "nested deeper"},
                                  {nested(100000), false, "nested deeper"},
                                  {std::string(300000, ' ') + "1", false, "exceeds"},
                                  {"", false, "parse_error"},
                                  {"{\"a\":\"\xff\"}", false, "parse_error"}}) {
    nlohmann::json out = 1;
    std::string error;
    EXPECT_EQ(ParseBoundedJson(text, out, error, JsonLimits{300000, 64}), ok) << text.substr(0, 20);
    EXPECT_NE(error.find(reason), std::string::npos) << error;
    EXPECT_TRUE(ok || out.is_null());
  }
  EXPECT_EQ(LogExcerpt(std::string("a\nb") + std::string(300, 'x'), 4), "a?bx...(303 bytes)");
  EXPECT_EQ(SafeDump(nlohmann::json("a\xff")), "\"a\xEF\xBF\xBD\"");
}

TEST(LogThrottle, RepeatsFoldIntoOneLinePerMinutePerKey) {
  LogThrottle::Clock::time_point now{};
  LogThrottle throttle(std::chrono::minutes(1), [&now] { return now; });
  // Per step: seconds, key, logged, repeats reported (-1: none).
  const std::tuple<int, const char*, bool, int> steps[] = {
      {0, "a", true, -1}, {10, "a", false, -1}, {20, "b", true, -1}, {59, "a", false, -1},
      {60, "a", true, 2}, {61, "a", false, -1}, {200, "a", true, 1}, {201, "b", true, -1}};
  for (auto [at, key, logged, repeats] : steps) {
    now = LogThrottle::Clock::time_point{} + std::chrono::seconds(at);
    std::string suffix = "stale";
    EXPECT_EQ(throttle.Allow(key, suffix), logged) << at << key;
    EXPECT_EQ(suffix, repeats < 0 ? "" : " (repeated " + std::to_string(repeats) + " times since the last line)") << at;
  }
  throttle.Forget("a");  // a failure that ended logs its next occurrence at once
  std::string suffix;
  EXPECT_TRUE(throttle.Allow("a", suffix));
}
