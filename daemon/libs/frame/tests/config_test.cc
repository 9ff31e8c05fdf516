// Loading app.conf: the directory rule of both programs' key tables, files on
// top of each other, and what bad files and bad values do.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "BoundedJson.h"
#include "ConfigLoader.h"
#include "LogCapture.h"
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
  EXPECT_EQ(GetFolderName("/opt/app/Project"), "Project");
  EXPECT_EQ(GetFolderName("/opt/app/Project/"), "Project");
  EXPECT_EQ(GetFolderName("Project"), "Project");
  EXPECT_EQ(GetFolderName("/"), "/");
  EXPECT_EQ(GetFolderName("a/"), "a/");
  EXPECT_EQ(GetFolderName(""), "");
}

TEST(ConfigLoad, RelativeDirectoriesResolveAgainstTheFilesFolder) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.File("project").c_str(), 0755), 0);
  WriteFile(dir.File("app.conf"), R"({"project_path":"project/","plugin_path":"project","api":"ipc:///x"})");
  Config c;
  LogCapture log;
  c.Load(dir.File("app.conf"));
  std::string canonical = GetAbsPath(dir.Path());
  EXPECT_EQ(c.configDir, canonical + "/");
  EXPECT_EQ(c.project, canonical + "/project");  // no trailing slash
  EXPECT_EQ(c.name, "project");
  EXPECT_EQ(c.plugin, canonical + "/project/");  // always a trailing slash
  EXPECT_EQ(c.api, "ipc:///x");
  EXPECT_TRUE(log.Contains("Config File Path = " + canonical + "/app.conf", "INFO"));
  EXPECT_TRUE(log.Contains("Config Director Path = " + canonical + "/", "INFO"));
  EXPECT_TRUE(log.Contains("Project Path = " + canonical + "/project", "INFO"));
}

TEST(ConfigLoad, AbsoluteDirectoryIsTakenAsWrittenAndEmptyMeansTheFilesFolder) {
  TempDir dir;
  WriteFile(dir.File("app.conf"), R"({"project_path":"/opt/pemrix/","plugin_path":""})");
  Config c;
  c.Load(dir.File("app.conf"));
  EXPECT_EQ(c.project, "/opt/pemrix");  // need not exist, not canonicalised
  EXPECT_EQ(c.name, "pemrix");
  EXPECT_EQ(c.plugin, GetAbsPath(dir.Path()) + "/");
}

TEST(ConfigLoad, SecondFileOverridesOnlyItsKeys) {
  TempDir a, b;
  WriteFile(a.File("app.conf"), R"({"project_path":"/p1","api":"first"})");
  WriteFile(b.File("global.conf"), R"({"api":"second"})");
  Config c;
  c.Load(a.File("app.conf"));
  c.Load(b.File("global.conf"));
  EXPECT_EQ(c.project, "/p1");
  EXPECT_EQ(c.api, "second");
  EXPECT_EQ(c.configDir, GetAbsPath(b.Path()) + "/");
}

TEST(ConfigLoad, MissingOrMalformedFileChangesNothing) {
  TempDir dir;
  Config c;
  {
    LogCapture log;
    c.Load(dir.File("absent.conf"));
    EXPECT_EQ(log.Count("' file does not exist!", "ERROR"), 1);
  }
  WriteFile(dir.File("bad.conf"), R"({"api":"changed", "project_path": )");
  {
    LogCapture log;
    c.Load(dir.File("bad.conf"));
    EXPECT_EQ(log.Count("bad.conf' : ", "ERROR"), 1);
  }
  EXPECT_EQ(c.api, "default-api");  // not even the keys before the fault
  EXPECT_EQ(c.name, "Project");     // the default survives only here
}

TEST(ConfigLoad, NonStringValueIsLoggedSkippedAndLoadingGoesOnUnknownKeysWarned) {
  TempDir dir;
  WriteFile(dir.File("app.conf"), R"({"project_path":42,"plugin_path":null,"api":"kept going","apl":"","x":1})");
  Config c;
  c.project = "/before";
  LogCapture log;
  c.Load(dir.File("app.conf"));
  EXPECT_EQ(c.project, "/before");
  EXPECT_EQ(c.api, "kept going");
  EXPECT_EQ(log.Count("app.conf' : project_path : expected a string, found number 42", "ERROR"), 1);
  EXPECT_EQ(log.Count("app.conf' : plugin_path : expected a string, found null", "ERROR"), 1);
  EXPECT_EQ(log.Count("app.conf' : unknown keys apl, x", "WARNING"), 1);
}

TEST(ConfigLoad, TopLevelThatIsNotAnObjectIsRejected) {
  TempDir dir;
  WriteFile(dir.File("app.conf"), R"(["project_path"])");
  Config c;
  LogCapture log;
  c.Load(dir.File("app.conf"));
  EXPECT_EQ(log.Count("app.conf' : top level : expected an object, found array", "ERROR"), 1);
  EXPECT_EQ(c.api, "default-api");
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
