#include "Readiness.h"

#include <easylogging++.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#ifdef PEMRIX_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace VESK::frame {

namespace {

using Clock = std::chrono::steady_clock;

void Notify(const char* state) {
#ifdef PEMRIX_HAVE_SYSTEMD
  // 0: not started by a service manager; > 0: sent. Only a failed send is
  // worth a line: the manager would then time out or misjudge the stop.
  int rc = sd_notify(0, state);
  if (rc < 0) LOG(ERROR) << "Service manager notice failed : " << state << " " << std::strerror(-rc);
#else
  (void)state;
#endif
}

// The registered heartbeats. Registration is rare (a loop's start and end);
// Beat() never takes the lock.
std::mutex g_beatsMutex;
std::vector<const Heartbeat*> g_beats;

// The watchdog interval the manager asked for; zero when none.
std::chrono::microseconds WatchdogInterval() {
#ifdef PEMRIX_HAVE_SYSTEMD
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0) return std::chrono::microseconds(usec);
#endif
  return std::chrono::microseconds(0);
}

// Pings while the loops turn; ends when asked to.
class WatchdogPinger {
 public:
  explicit WatchdogPinger(std::chrono::microseconds interval) : _interval(interval) {
    _thread = std::thread([this] { Run(); });
  }
  ~WatchdogPinger() {
    {
      std::lock_guard<std::mutex> lock(_mutex);
      _stop = true;
    }
    _wake.notify_one();
    _thread.join();
  }

 private:
  void Run() {
    std::string stalled;  // the loop of the current episode, logged once
    std::unique_lock<std::mutex> lock(_mutex);
    while (!_wake.wait_for(lock, _interval / 4, [this] { return _stop; })) {
      const std::string now = StalledHeartbeat(_interval / 2);
      if (now.empty()) {
        if (!stalled.empty()) LOG(INFO) << "Watchdog : loop '" << stalled << "' turns again, pings resumed";
        Notify("WATCHDOG=1");
      } else if (stalled.empty()) {
        LOG(ERROR) << "Watchdog : loop '" << now << "' has not turned for "
                   << std::chrono::duration_cast<std::chrono::milliseconds>(_interval / 2).count()
                   << " ms, pings withheld";
      }
      stalled = now;
    }
  }

  std::chrono::microseconds _interval;
  std::mutex _mutex;
  std::condition_variable _wake;
  bool _stop = false;
  std::thread _thread;
};

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

}  // namespace

Heartbeat::Heartbeat(std::string name) : _name(std::move(name)), _lastNs(NowNs()) {
  std::lock_guard<std::mutex> lock(g_beatsMutex);
  g_beats.push_back(this);
}

Heartbeat::~Heartbeat() {
  std::lock_guard<std::mutex> lock(g_beatsMutex);
  g_beats.erase(std::remove(g_beats.begin(), g_beats.end(), this), g_beats.end());
}

void Heartbeat::Beat() { _lastNs.store(NowNs(), std::memory_order_relaxed); }

Clock::time_point Heartbeat::Last() const {
  return Clock::time_point(std::chrono::nanoseconds(_lastNs.load(std::memory_order_relaxed)));
}

std::string StalledHeartbeat(Clock::duration maxAge) {
  const auto now = Clock::now();
  std::lock_guard<std::mutex> lock(g_beatsMutex);
  for (const Heartbeat* beat : g_beats)
    if (now - beat->Last() > maxAge) return beat->Name();
  return "";
}

void RunReady(void (*run)()) {
  Notify("READY=1");
  {
    const auto interval = WatchdogInterval();
    std::unique_ptr<WatchdogPinger> pinger;
    if (interval.count() > 0) pinger = std::make_unique<WatchdogPinger>(interval);
    run();
  }
  Notify("STOPPING=1");
}

}  // namespace VESK::frame
