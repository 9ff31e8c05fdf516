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
// log meanwhile, so the callback is installed once, before the first test
// (while only the main thread runs), and only switched on and off afterwards.
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

void InstallOnce() {
  static bool installed = (el::Helpers::installLogDispatchCallback<CaptureCallback>("pemrix-test-capture"), true);
  (void)installed;
}

struct InstallBeforeTests : ::testing::Environment {
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
  int n = 0;
  for (const auto& l : Lines()) n += (level.empty() || l.level == level) && l.message.find(text) != std::string::npos;
  return n;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_lines.clear();
}

}  // namespace pemrix::testing
