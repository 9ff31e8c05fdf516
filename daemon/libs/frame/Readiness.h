#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace VESK::frame {

// Runs a program's service loop between the two notices a service manager of
// Type=notify waits for: "READY=1" once start-up is done, "STOPPING=1" as soon
// as the loop has returned (before the service releases its connections).
// Blocks for as long as run does. Sends nothing when the program was not
// started by such a manager (no NOTIFY_SOCKET) or was built without libsystemd.
//
// With a watchdog asked for (WatchdogSec= in the unit: WATCHDOG_USEC), a
// thread sends "WATCHDOG=1" every quarter of that interval while run is
// running, but only while every registered Heartbeat has beaten within half
// of it. A loop that stalls therefore stops the pings, and the manager kills
// and restarts the program. A blocking step inside a beating loop must end
// within half the interval.
void RunReady(void (*run)());

// One loop that must keep turning for the program to count as alive,
// registered under a name (for the log line naming a stalled one) from
// construction to destruction. Beat() once per turn; cheap (one relaxed
// atomic store), callable from the loop's own thread while others read.
class Heartbeat {
 public:
  explicit Heartbeat(std::string name);
  ~Heartbeat();
  Heartbeat(const Heartbeat&) = delete;
  Heartbeat& operator=(const Heartbeat&) = delete;

  void Beat();
  const std::string& Name() const { return _name; }
  // Steady-clock time of the latest beat (or of the registration).
  std::chrono::steady_clock::time_point Last() const;

 private:
  std::string _name;
  std::atomic<std::int64_t> _lastNs;
};

// The name of one heartbeat older than maxAge, "" when all are fresh (or
// none is registered). What the watchdog thread judges by.
std::string StalledHeartbeat(std::chrono::steady_clock::duration maxAge);

}  // namespace VESK::frame
