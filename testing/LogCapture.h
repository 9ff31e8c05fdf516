#pragma once
// Collects what the process logs through the "default" logger while the
// object lives, so tests can check the system's log lines.
#include <string>
#include <vector>

namespace pemrix::testing {

struct LogLine {
  std::string level;  // "INFO", "ERROR", "FATAL", ...
  std::string message;
};

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::vector<LogLine> Lines() const;
  // Messages containing text (at level, when given).
  int Count(const std::string& text, const std::string& level = "") const;
  bool Contains(const std::string& text, const std::string& level = "") const { return Count(text, level) > 0; }
  void Clear();
};

}  // namespace pemrix::testing
