#pragma once
// Collects what the process logs through the "default" logger while the
// object lives, so tests can check the system's log lines.
#include <easylogging++.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace pemrix::testing {

struct LogLine {
  std::string level;  // "INFO", "ERROR", "FATAL", ...
  std::string message;
};

class LogCapture {
 public:
  LogCapture() {
    Clear();
    InstallOnce();
    ++active;
  }
  ~LogCapture() { --active; }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::vector<LogLine> Lines() const {
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
  }
  // Messages containing text (at level, when given).
  int Count(const std::string& text, const std::string& level = "") const {
    int n = 0;
    for (const auto& l : Lines()) n += (level.empty() || l.level == level) && l.message.find(text) != std::string::npos;
    return n;
  }
  bool Contains(const std::string& text, const std::string& level = "") const { return Count(text, level) > 0; }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex);
    lines.clear();
  }

 private:
  struct Callback : el::LogDispatchCallback {
    void handle(const el::LogDispatchData* data) override {
      if (active.load() == 0) return;
      std::lock_guard<std::mutex> lock(mutex);
      lines.push_back({el::LevelHelper::convertToString(data->logMessage()->level()), data->logMessage()->message()});
    }
  };
  // The logging library's callback table is not guarded against threads that
  // log meanwhile, so the callback is installed once, before the first test
  // (while only the main thread runs), and only switched on and off afterwards.
  static void InstallOnce() {
    static bool installed = (el::Helpers::installLogDispatchCallback<Callback>("pemrix-test-capture"), true);
    (void)installed;
  }
  struct InstallBeforeTests : ::testing::Environment {
    void SetUp() override { InstallOnce(); }
  };
  static inline std::mutex mutex;
  static inline std::vector<LogLine> lines;
  static inline std::atomic<int> active{0};
  static inline const ::testing::Environment* const installer =
      ::testing::AddGlobalTestEnvironment(new InstallBeforeTests);
};

}  // namespace pemrix::testing
