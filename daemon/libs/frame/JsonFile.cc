#include "JsonFile.h"

#include <easylogging++.h>

#include <fstream>

namespace VESK::frame {

nlohmann::json LoadJSONFile(const std::string& path) {
  std::ifstream in(path);
  if (!in.is_open()) {
    LOG(ERROR) << "'" << path << "' file does not exist!";
    return nullptr;
  }
  try {
    nlohmann::json value;
    in >> value;
    return value;
  } catch (const std::exception& e) {
    LOG(ERROR) << "'" << path << "' : " << e.what();
    return nullptr;
  }
}

std::string JsonTypeName(const nlohmann::json& value) { return value.type_name(); }

}  // namespace VESK::frame
