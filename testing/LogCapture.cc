#include "LogCapture.h"

#include <easylogging++.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

namespace pemrix::testing {

namespace {
std::mutex g_mutex;
std::vector<LogLine> g_lines;
// The logging library's callback table is not guarded against threads that
// log while a callback is installed or removed, so the callback is installed
// once, before the first test, and only switched on and off afterwards.
std::atomic<int> g_active{0};

class CaptureCallback : public el::LogDispatchCallback {
 protected:
  void handle(const el::LogDispatchData* data) override {
    if (g_active.load() == 0) return;
    const el::LogMessage* m = data->logMessage();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.push_back({el::LevelHelper::convertToString(m->level()), m->message()});
  }
};
const char* kId = "pemrix-test-capture";

void InstallOnce() {
  static bool installed = (el::Helpers::installLogDispatchCallback<CaptureCallback>(kId), true);
  (void)installed;
}

// Installs the callback before the first test runs, while the process has
// only its main thread, in every test program that uses a capture.
class InstallBeforeTests : public ::testing::Environment {
 public:
  void SetUp() override { InstallOnce(); }
};
const ::testing::Environment* const g_installer = ::testing::AddGlobalTestEnvironment(new InstallBeforeTests);

}  // namespace

LogCapture::LogCapture() {
  Clear();
  InstallOnce();
  ++g_active;
}

LogCapture::~LogCapture() { --g_active; }

std::vector<LogLine> LogCapture::Lines() const {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_lines;
}

int LogCapture::Count(const std::string& text, const std::string& level) const {
  std::lock_guard<std::mutex> lock(g_mutex);
  int n = 0;
  for (const auto& l : g_lines)
    if ((level.empty() || l.level == level) && l.message.find(text) != std::string::npos) ++n;
  return n;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_lines.clear();
}

}  // namespace pemrix::testing
