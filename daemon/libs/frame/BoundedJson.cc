#include "BoundedJson.h"

namespace VESK::frame {

namespace {
struct TooDeep {};
}  // namespace

bool ParseBoundedJson(const char* data, std::size_t size, nlohmann::json& out, std::string& error,
                      const JsonLimits& limits) {
  out = nullptr;
  if (size > limits.maxBytes) {
    error = "JSON text of " + std::to_string(size) + " bytes exceeds the limit of " + std::to_string(limits.maxBytes);
    return false;
  }
  // The parser itself keeps its state on the heap; only building and later
  // walking the value would recurse, so the depth is refused while parsing.
  const auto guard = [&limits](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
    if ((event == nlohmann::json::parse_event_t::object_start || event == nlohmann::json::parse_event_t::array_start) &&
        depth >= limits.maxDepth)
      throw TooDeep{};
    return true;
  };
  try {
    out = nlohmann::json::parse(data, data + size, guard);
    return true;
  } catch (const TooDeep&) {
    error = "JSON text nested deeper than " + std::to_string(limits.maxDepth) + " levels";
  } catch (const std::exception& e) {
    error = e.what();
  }
  out = nullptr;
  return false;
}

std::string LogExcerpt(const char* data, std::size_t size, std::size_t maxChars) {
  const std::size_t n = size < maxChars ? size : maxChars;
  std::string text(data, n);
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  if (n < size) text += "...(" + std::to_string(size) + " bytes)";
  return text;
}

std::string SafeDump(const nlohmann::json& value, int indent) {
  return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace VESK::frame
