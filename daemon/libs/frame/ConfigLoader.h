#pragma once
#include <functional>
#include <string>
#include <vector>

namespace VESK::frame {

// How a configuration value is turned into the member's content.
enum class PathRule {
  Verbatim,          // the string as written
  DirNoSlash,        // directory rule, then one trailing slash removed
  DirTrailingSlash,  // directory rule, then a slash appended when missing
};

// One row of a program's app.conf key table. A row without a key is an action
// that always runs at its place in the table (the daemon derives its project
// name that way).
struct ConfigKey {
  const char* key;               // JSON key, or nullptr for an always-run action
  std::string* member;           // target member (unused for actions)
  PathRule rule;                 //
  const char* label;             // INFO label logged with the new value
  std::function<void()> action;  // always-run action (rows without a key)
};

// Canonical absolute form of path; for a path that cannot be resolved, what
// the resolver left in its buffer (possibly empty). Never throws.
std::string GetAbsPath(const std::string& path);

// Last component of a directory path; see the tests for the exact cases.
std::string GetFolderName(const std::string& path);

// Loads one app.conf file on top of the current values: resolves its path,
// sets configDir to the file's directory (with trailing slash), logs both,
// then applies the keys in table order. A missing or malformed file logs one
// ERROR line and changes nothing; a key whose value is not a string logs one
// ERROR line naming file and key, keeps its member and loading goes on; keys
// outside the table get one WARNING.
void LoadConfigFile(const std::string& path, std::string& configDir, const std::vector<ConfigKey>& keys);

// Applies the key table to the file at an already absolute path.
void ApplyConfigFile(const std::string& absPath, const std::string& configDir, const std::vector<ConfigKey>& keys);

}  // namespace VESK::frame
