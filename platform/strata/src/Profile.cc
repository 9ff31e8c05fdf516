#include "strata/Profile.h"

#include <easylogging++.h>

#include <cstdint>

#include "ConfigReader.h"
#include "strata/IDevice.h"

namespace VESK::DAQ {

namespace {

DataType ParseType(const nlohmann::json& type) {
  if (type.is_number_integer()) return DataType(type.get<int>());
  if (type.is_string()) {
    DataType t = DataTypeFromName(type.get<std::string>());
    if (t == DT_UNKNOWN) throw std::invalid_argument("unknown type name '" + type.get<std::string>() + "'");
    return t;
  }
  throw std::invalid_argument("\"type\" must be a type code or a type name");
}

// Throws (nlohmann type errors, std::invalid_argument) on an unusable entry.
std::shared_ptr<ProfileParameter> ParseParameter(const nlohmann::json& entry) {
  if (!entry.is_object()) throw std::invalid_argument("entry is not an object");
  auto p = std::make_shared<ProfileParameter>();
  p->id = entry.at("id").get<std::string>();
  if (p->id.empty()) throw std::invalid_argument("empty \"id\"");
  p->type = ParseType(entry.at("type"));
  p->attributes = entry.value("attributes", nlohmann::json::object());
  p->arrayLength = entry.value("array_length", 0);
  if (entry.contains("dimensions")) {
    p->dimensions = entry.at("dimensions").get<std::vector<int>>();
    // Checked per factor, so the count can neither wrap nor go negative.
    int64_t count = p->dimensions.empty() ? 0 : 1;
    for (int d : p->dimensions) {
      if (d < 0 || (count *= d) > INT32_MAX) throw std::invalid_argument("\"dimensions\" negative or too large");
    }
    if (!entry.contains("array_length")) p->arrayLength = int(count);
  } else if (p->arrayLength >= 1) {
    p->dimensions = {p->arrayLength};
  }
  p->referenceId = entry.value("reference_id", std::string());
  p->isReference = entry.value("is_reference", entry.contains("reference_id"));
  p->index = entry.value("index", 0);
  p->bitOffset = entry.value("bit_offset", 0);
  int writeMode = entry.value("write_mode", 0);
  if (writeMode < 0 || writeMode > 0xFFFF) throw std::invalid_argument("\"write_mode\" outside 0..65535");
  p->writeMode = uint16_t(writeMode);
  return p;
}

}  // namespace

std::shared_ptr<Profile> Profile::LoadFromJSON(const nlohmann::json& document) {
  if (!document.is_object() || !document.contains("parameters") || !document["parameters"].is_array()) {
    LOG(ERROR) << "Profile rejected : not an object with a \"parameters\" array";
    return nullptr;
  }
  auto profile = std::make_shared<Profile>();
  if (document.contains("name") && document["name"].is_string()) profile->_name = document["name"];
  const auto& entries = document["parameters"];
  for (size_t i = 0; i < entries.size(); ++i) {
    try {
      profile->AddParameter(ParseParameter(entries[i]));
    } catch (const std::exception& e) {
      LOG(ERROR) << "Profile '" << profile->_name << "' parameter " << i << " skipped : " << e.what();
    }
  }
  return profile;
}

std::shared_ptr<Profile> Profile::LoadFromFile(const std::string& path) {
  VESK::frame::ConfigReader reader(path);
  if (!reader.Parsed()) return nullptr;  // the reader logged why
  const nlohmann::json& document = reader.Document();
  return LoadFromJSON(document);
}

void Profile::QueryParameters(std::list<std::shared_ptr<ProfileParameter>>& parameters) const {
  parameters.insert(parameters.end(), _parameters.begin(), _parameters.end());
}

std::shared_ptr<ProfileParameter> Profile::GetParameter(const std::string& id) const {
  auto it = _byId.find(id);
  return it == _byId.end() ? nullptr : it->second;
}

void Profile::AddParameter(std::shared_ptr<ProfileParameter> parameter) {
  if (!parameter) return;
  _byId.emplace(parameter->id, parameter);  // keeps the first of an id
  _parameters.push_back(std::move(parameter));
}

std::shared_ptr<Device> Device::LoadFromFile(const std::string& name, const std::string& profilePath) {
  return std::make_shared<Device>(name, Profile::LoadFromFile(profilePath));
}

}  // namespace VESK::DAQ
