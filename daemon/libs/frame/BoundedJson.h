#pragma once
// The one reader for JSON texts that come from outside the process (MQTT
// requests, JSON-RPC messages, a peer's replies). A hostile text cannot
// exhaust the stack or the heap through it: its size is checked before
// parsing and its nesting while parsing. Never throws.
#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>

namespace VESK::frame {

struct JsonLimits {
  std::size_t maxBytes = 16u << 20;  // well above any real request or reply
  int maxDepth = 64;                 // real texts nest a handful of levels
};

// Parses [data, data + size) into out. On failure returns false, leaves out
// null and puts a one-line reason (size, depth or the parser's text) in error.
bool ParseBoundedJson(const char* data, std::size_t size, nlohmann::json& out, std::string& error,
                      const JsonLimits& limits = JsonLimits());
inline bool ParseBoundedJson(const std::string& text, nlohmann::json& out, std::string& error,
                             const JsonLimits& limits = JsonLimits()) {
  return ParseBoundedJson(text.data(), text.size(), out, error, limits);
}

// Configuration files are input like any other: a file someone else put in
// place, or one an update brought from the network. Real ones are a few
// kilobytes and a handful of levels deep.
constexpr JsonLimits kConfigLimits{4u << 20, 64};

enum class FileRead {
  Ok,
  Missing,  // cannot be opened (absent, unreadable)
  Refused,  // a FIFO, device or folder; too large or too deep; not JSON
};

// The whole file at path (a link is followed), opened without
// blocking (a FIFO cannot hold the process); only a regular file of at most
// maxBytes is read. error says why for Refused.
FileRead ReadBoundedFile(const std::string& path, std::string& text, std::string& error, std::size_t maxBytes);

// Reads one JSON value from the start of the file at path (ReadBoundedFile); text after the
// value is not looked at. The file is opened (through a link, if it is one)
// without blocking (a FIFO cannot hold the process), and must be a regular
// file within limits.maxBytes; the value may nest limits.maxDepth levels.
// On anything but Ok, out is null and (for Refused) error says why.
FileRead ReadBoundedJsonFile(const std::string& path, nlohmann::json& out, std::string& error,
                             const JsonLimits& limits = kConfigLimits);

// At most maxChars of text for a log line, control characters shown as '?'
// and a cut marked "...(N bytes)", so a peer can neither flood the log nor
// forge lines in it.
std::string LogExcerpt(const char* data, std::size_t size, std::size_t maxChars = 256);
inline std::string LogExcerpt(const std::string& text, std::size_t maxChars = 256) {
  return LogExcerpt(text.data(), text.size(), maxChars);
}

// Serialises a value that may hold invalid UTF-8 (bytes a peer handed us
// unchecked): invalid sequences become U+FFFD instead of an exception.
std::string SafeDump(const nlohmann::json& value, int indent = -1);

}  // namespace VESK::frame
