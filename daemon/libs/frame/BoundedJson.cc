#include "BoundedJson.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <sstream>

namespace VESK::frame {

namespace {

struct TooDeep {};

std::string TooLarge(std::size_t size, std::size_t maxBytes) {
  return "JSON text of " + std::to_string(size) + " bytes exceeds the limit of " + std::to_string(maxBytes);
}

std::string TooDeepText(const JsonLimits& limits) {
  return "JSON text nested deeper than " + std::to_string(limits.maxDepth) + " levels";
}

// The deepest nesting of brackets outside strings anywhere in text: a bound
// on the depth of the value at its start, whatever follows it.
int BracketDepth(const std::string& text) {
  int depth = 0, deepest = 0;
  bool inString = false, escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

// Reads a regular file of at most maxBytes through fd.
bool ReadAll(int fd, std::size_t maxBytes, std::string& text, std::string& error) {
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "cannot be read";
      return false;
    }
    if (n == 0) return true;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > maxBytes) {  // grew after the size check
      error = TooLarge(text.size(), maxBytes);
      return false;
    }
  }
}

}  // namespace

bool ParseBoundedJson(const char* data, std::size_t size, nlohmann::json& out, std::string& error,
                      const JsonLimits& limits) {
  out = nullptr;
  if (size > limits.maxBytes) {
    error = TooLarge(size, limits.maxBytes);
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
    error = TooDeepText(limits);
  } catch (const std::exception& e) {
    error = e.what();
  }
  out = nullptr;
  return false;
}

FileRead ReadBoundedFile(const std::string& path, std::string& text, std::string& error, std::size_t maxBytes) {
  text.clear();
  // A link is followed: installations point configuration files at shared
  // copies, and the administrator who made the link owns both ends. What the
  // link leads to must still be a regular file (checked on the open file).
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return FileRead::Missing;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (!ok) {
    error = "not a regular file";
  } else if (static_cast<unsigned long long>(st.st_size) > maxBytes) {
    error = TooLarge(static_cast<std::size_t>(st.st_size), maxBytes);
    ok = false;
  } else {
    ok = ReadAll(fd, maxBytes, text, error);
  }
  close(fd);
  return ok ? FileRead::Ok : FileRead::Refused;
}

FileRead ReadBoundedJsonFile(const std::string& path, nlohmann::json& out, std::string& error,
                             const JsonLimits& limits) {
  out = nullptr;
  std::string text;
  const FileRead read = ReadBoundedFile(path, text, error, limits.maxBytes);
  if (read != FileRead::Ok) return read;
  if (BracketDepth(text) > limits.maxDepth) {
    error = TooDeepText(limits);
    return FileRead::Refused;
  }
  try {
    std::istringstream in(text);
    in >> out;  // the first value only, as configuration files were always read
    return FileRead::Ok;
  } catch (const std::exception& e) {
    error = e.what();
  }
  out = nullptr;
  return FileRead::Refused;
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
