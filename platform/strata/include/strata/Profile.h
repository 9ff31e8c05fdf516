#pragma once
// A device profile: the parameters of one device, in file order.
// Read-only once loaded; safe to read from several threads.
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "strata/DataType.h"

namespace VESK::DAQ {

struct ProfileParameter {
  nlohmann::json attributes;  // free-form; drivers read their address here
  std::string id;
  DataType type = DT_UNKNOWN;
  std::vector<int> dimensions;  // array shape; {arrayLength} when not given
  int arrayLength = 0;          // below 1: scalar
  bool isReference = false;     // value cut out of another parameter's bytes
  std::string referenceId;      // that parameter's id
  int index = 0;                // element (bit, for a boolean source) in the source
  int bitOffset = 0;            // bits past that element
  uint16_t writeMode = 0;       // non-zero: writes go to the device
};

class Profile {
 public:
  Profile() = default;
  explicit Profile(std::string name) : _name(std::move(name)) {}

  // Parses the profile format (see platform/strata/README.md). Entries that
  // cannot be used are logged (ERROR) and skipped; a document that is not an
  // object with a "parameters" array gives null.
  static std::shared_ptr<Profile> LoadFromJSON(const nlohmann::json& document);
  // Reads the file and parses it as above; null (with a log line) on failure.
  static std::shared_ptr<Profile> LoadFromFile(const std::string& path);

  const std::string& GetName() const { return _name; }
  // Appends every parameter, in profile order (duplicates of an id included).
  void QueryParameters(std::list<std::shared_ptr<ProfileParameter>>& parameters) const;
  // The first parameter with this id, or null.
  std::shared_ptr<ProfileParameter> GetParameter(const std::string& id) const;
  void AddParameter(std::shared_ptr<ProfileParameter> parameter);
  size_t Size() const { return _parameters.size(); }

 private:
  std::string _name;
  std::vector<std::shared_ptr<ProfileParameter>> _parameters;
  std::map<std::string, std::shared_ptr<ProfileParameter>> _byId;  // first of each id
};

}  // namespace VESK::DAQ
