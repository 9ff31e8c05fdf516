#include "ConfigLoader.h"

#include <easylogging++.h>

#include <climits>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <vector>

#include "JsonFile.h"

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

std::string ApplyRule(PathRule rule, const std::string& value, const std::string& configDir) {
  if (rule == PathRule::Verbatim) return value;
  std::string result = (value.empty() || value[0] != '/') ? GetAbsPath(configDir + value) : value;
  if (rule == PathRule::DirNoSlash) {
    if (!result.empty() && result.back() == '/') result.pop_back();
  } else if (result.empty() || result.back() != '/') {
    result += '/';
  }
  return result;
}

}  // namespace

void ApplyConfigFile(const std::string& absPath, const std::string& configDir, const std::vector<ConfigKey>& keys) {
  nlohmann::json doc = LoadJSONFile(absPath);
  if (doc.is_null()) return;  // LoadJSONFile has logged why
  if (!doc.is_object()) {
    LOG(ERROR) << "'" << absPath << "' : top level is not a JSON object";
    return;
  }
  for (const ConfigKey& row : keys) {
    if (row.key == nullptr) {
      if (row.action) row.action();
      continue;
    }
    auto it = doc.find(row.key);
    if (it == doc.end()) continue;
    if (!it->is_string()) {
      LOG(ERROR) << "'" << absPath << "' : key '" << row.key << "' must be a string, but is " << it->type_name();
      continue;
    }
    *row.member = ApplyRule(row.rule, it->get<std::string>(), configDir);
    LOG(INFO) << row.label << *row.member;
  }
}

void LoadConfigFile(const std::string& path, std::string& configDir, const std::vector<ConfigKey>& keys) {
  std::string abs = GetAbsPath(path);
  std::size_t slash = abs.rfind('/');
  configDir = slash == std::string::npos ? abs : abs.substr(0, slash + 1);
  LOG(INFO) << "Config File Path = " << abs;
  LOG(INFO) << "Config Director Path = " << configDir;
  ApplyConfigFile(abs, configDir, keys);
}

}  // namespace VESK::frame
