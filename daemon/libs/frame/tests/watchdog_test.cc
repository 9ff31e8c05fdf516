// The watchdog pings of RunReady: sent while every registered loop turns, withheld while one is stalled.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <condition_variable>
#include <thread>

#include "Readiness.h"
#include "TestSupport.h"

using namespace pemrix::testing;

namespace {

enum Phase { kTurning, kStalled, kDone };
std::atomic<int> g_phase{kTurning};
std::mutex g_mutex;
std::condition_variable g_changed;

// A service loop that turns every few milliseconds unless told to stall.
void Loop() {
  VESK::frame::Heartbeat heartbeat("test loop");
  std::unique_lock<std::mutex> lock(g_mutex);
  while (g_phase != kDone) {
    if (g_phase == kTurning) heartbeat.Beat();
    g_changed.wait_for(lock, 5ms, [] { return g_phase == kDone; });
  }
}

void SetPhase(Phase phase) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_phase = phase;
  g_changed.notify_all();
}

TEST(Watchdog, AStalledLoopStopsThePingsAndATurningOneResumesThem) {
  TempDir dir;
  const int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{AF_UNIX, {}};
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", dir.File("notify").c_str());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  setenv("NOTIFY_SOCKET", dir.File("notify").c_str(), 1);
  setenv("WATCHDOG_USEC", "200000", 1);  // pings every 50 ms while each loop turned within 100 ms
  // Whether a notice holding text arrives within the time given (the ones before it are used up).
  auto arrives = [&](const char* text, std::chrono::milliseconds within) {
    char buf[256];
    for (const auto end = std::chrono::steady_clock::now() + within; std::chrono::steady_clock::now() < end;) {
      pollfd p{sock, POLLIN, 0};
      const ssize_t n = poll(&p, 1, 10) == 1 ? recv(sock, buf, sizeof buf, 0) : 0;
      if (n > 0 && std::string(buf, size_t(n)).find(text) != std::string::npos) return true;
    }
    return false;
  };

  std::thread service([] { VESK::frame::RunReady(Loop); });
  EXPECT_TRUE(arrives("WATCHDOG=1", 5s));
  SetPhase(kStalled);
  arrives("\x01", 200ms);  // no notice holds it: uses up what was on the way
  EXPECT_FALSE(arrives("WATCHDOG=1", 400ms));
  SetPhase(kTurning);
  EXPECT_TRUE(arrives("WATCHDOG=1", 5s));
  SetPhase(kDone);
  service.join();
  EXPECT_TRUE(arrives("STOPPING=1", 1s));
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  close(sock);
}

}  // namespace
