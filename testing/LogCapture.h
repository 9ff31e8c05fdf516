#pragma once
// Collects what the process logs through the "default" logger while the object lives.
#include <easylogging++.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace pemrix::testing {

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
  // Messages containing text (at level, "ERROR", "INFO", ..., when given).
  int Count(const std::string& text, const std::string& level = "") const {
    std::lock_guard<std::mutex> lock(mutex);
    int n = 0;
    for (const auto& [l, m] : lines) n += (level.empty() || l == level) && m.find(text) != std::string::npos;
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
  // The library's callback table is unguarded against threads logging meanwhile: installed once before the
  // first test (only the main thread runs), the callback is then only switched on and off.
  static void InstallOnce() {
    static bool installed = (el::Helpers::installLogDispatchCallback<Callback>("pemrix-test-capture"), true);
    (void)installed;
  }
  struct InstallBeforeTests : ::testing::Environment {
    void SetUp() override { InstallOnce(); }
  };
  static inline std::mutex mutex;
  static inline std::vector<std::pair<std::string, std::string>> lines;  // level, message
  static inline std::atomic<int> active{0};
  static inline const ::testing::Environment* const installer =
      ::testing::AddGlobalTestEnvironment(new InstallBeforeTests);
};

}  // namespace pemrix::testing
