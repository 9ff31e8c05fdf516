#include "ConfigLoader.h"

#include <easylogging++.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "ConfigReader.h"

namespace VESK::frame {

std::string GetAbsPath(const std::string& path) {
  // realpath writes at most PATH_MAX bytes; a larger, zeroed buffer keeps the
  // text NUL-terminated even when the resolver leaves a partial path behind.
  std::vector<char> buffer(40960, '\0');
  (void)realpath(path.c_str(), buffer.data());
  return std::string(buffer.data());
}

std::string GetFolderName(const std::string& path) {
  if (path.empty()) return "";
  std::size_t end = path.size() - 1;
  bool trailing = path[end] == '/';
  if (trailing) {
    if (end == 0) return path;  // a single slash
    --end;
  }
  std::size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) return path;
  return path.substr(slash + 1, end - slash);
}

namespace {

// A relative folder that does not resolve keeps its plain joined form and
// sets problem: what the resolver leaves behind can be an ancestor folder,
// and a project installed there would land beside the configuration.
std::string ApplyRule(PathRule rule, const std::string& value, const std::string& configDir, std::string& problem) {
  if (rule == PathRule::Verbatim) return value;
  std::string result = value;
  if (value.empty() || value[0] != '/') {
    std::vector<char> buffer(PATH_MAX + 1, '\0');
    result = configDir + value;
    if (realpath(result.c_str(), buffer.data()) != nullptr) {
      result = buffer.data();
    } else {
      problem = "folder '" + result + "' does not resolve: " + std::strerror(errno);
    }
  }
  if (rule == PathRule::DirNoSlash) {
    if (!result.empty() && result.back() == '/') result.pop_back();
  } else if (result.empty() || result.back() != '/') {
    result += '/';
  }
  return result;
}

}  // namespace

void ApplyConfigFile(const std::string& absPath, const std::string& configDir, const std::vector<ConfigKey>& keys) {
  ConfigReader reader(absPath);
  ConfigNode root = reader.Root();
  if (!root.Valid()) return;  // the reader has logged why
  for (const ConfigKey& row : keys) {
    std::string value;
    if (row.key == nullptr) {
      if (row.action) row.action();
    } else if (root.Read(row.key, value)) {
      std::string problem;
      *row.member = ApplyRule(row.rule, value, configDir, problem);
      if (!problem.empty()) root.Error(row.key, problem);
      LOG(INFO) << row.label << *row.member;
    }
  }
  root.Done();
}

void LoadConfigFile(const std::string& path, std::string& configDir, const std::vector<ConfigKey>& keys) {
  // A file that does not resolve is named as given, made absolute: the
  // resolver's partial result would name one of its folders instead.
  std::error_code error;
  const std::filesystem::path canonical = std::filesystem::canonical(path, error);
  const std::string abs = error ? std::filesystem::absolute(path, error).string() : canonical.string();
  std::size_t slash = abs.rfind('/');
  configDir = slash == std::string::npos ? abs : abs.substr(0, slash + 1);
  LOG(INFO) << "Config File Path = " << abs;
  LOG(INFO) << "Config Director Path = " << configDir;
  ApplyConfigFile(abs, configDir, keys);
}

}  // namespace VESK::frame
