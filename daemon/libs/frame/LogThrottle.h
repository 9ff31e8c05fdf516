#pragma once
// Folds repeats of one failure into one log line per interval, so a peer that
// stays away for hours leaves a readable log and a bounded file.
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace VESK::frame {

class LogThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LogThrottle(Clock::duration interval = std::chrono::minutes(1),
                       std::function<Clock::time_point()> now = Clock::now)
      : _interval(interval), _now(std::move(now)) {}

  // True when the line for key is due: log it with suffix appended, which
  // counts the repeats held back since the key's last line (empty for none).
  // False counts one more held-back repeat. Keys come from the configuration
  // (devices, endpoints), so the map stays small; the cap only guards against
  // a caller that keys on something unbounded. Safe from any thread.
  bool Allow(const std::string& key, std::string& suffix) {
    std::lock_guard<std::mutex> guard(_lock);
    suffix.clear();
    const Clock::time_point now = _now();
    if (_entries.size() >= kMaxKeys && _entries.count(key) == 0) _entries.clear();
    auto [found, added] = _entries.emplace(key, Entry{now, 0});
    if (added) return true;
    Entry& entry = found->second;
    if (now - entry.logged < _interval) {
      ++entry.suppressed;
      return false;
    }
    if (entry.suppressed > 0) suffix = " (repeated " + std::to_string(entry.suppressed) + " times since the last line)";
    entry = Entry{now, 0};
    return true;
  }

  // The failure behind key is over: its next occurrence logs at once.
  void Forget(const std::string& key) {
    std::lock_guard<std::mutex> guard(_lock);
    _entries.erase(key);
  }

  // Every failure is over (a link came back): each logs at once next time.
  void Clear() {
    std::lock_guard<std::mutex> guard(_lock);
    _entries.clear();
  }

 private:
  static constexpr std::size_t kMaxKeys = 1024;
  struct Entry {
    Clock::time_point logged;
    std::size_t suppressed;
  };
  Clock::duration _interval;
  std::function<Clock::time_point()> _now;
  std::mutex _lock;
  std::map<std::string, Entry> _entries;
};

}  // namespace VESK::frame
