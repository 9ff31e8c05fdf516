#pragma once
#include <nlohmann/json.hpp>
#include <string>

namespace VESK::frame {

// Reads one JSON value from the start of the file at path; text after the
// value is ignored. On a missing file logs ERROR "'<path>' file does not
// exist!", on a parse error ERROR "'<path>' : <parser text>"; both return null.
nlohmann::json LoadJSONFile(const std::string& path);

// Name of a JSON value's type as the JSON library reports it ("string",
// "number", "null", ...), for log lines about wrongly typed keys.
std::string JsonTypeName(const nlohmann::json& value);

}  // namespace VESK::frame
