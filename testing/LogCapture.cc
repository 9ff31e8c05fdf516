#include "LogCapture.h"

#include <mutex>

#include <easylogging++.h>

namespace pemrix::testing {

namespace {
std::mutex g_mutex;
std::vector<LogLine> g_lines;

class CaptureCallback : public el::LogDispatchCallback {
 protected:
  void handle(const el::LogDispatchData* data) override {
    const el::LogMessage* m = data->logMessage();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.push_back({el::LevelHelper::convertToString(m->level()), m->message()});
  }
};
const char* kId = "pemrix-test-capture";
}  // namespace

LogCapture::LogCapture() {
  Clear();
  el::Helpers::installLogDispatchCallback<CaptureCallback>(kId);
}

LogCapture::~LogCapture() { el::Helpers::uninstallLogDispatchCallback<CaptureCallback>(kId); }

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
