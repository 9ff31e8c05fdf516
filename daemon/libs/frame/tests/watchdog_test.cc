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
  // The notices that arrive within the time given, one a line.
  auto receive = [&](std::chrono::milliseconds within) {
    std::string notices;
    const auto end = std::chrono::steady_clock::now() + within;
    for (auto left = within; left > 0ms;
         left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())) {
      pollfd p{sock, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buf[256];
      const ssize_t n = recv(sock, buf, sizeof buf, 0);
      if (n > 0) notices.append(buf, static_cast<size_t>(n)).append("\n");
    }
    return notices;
  };
  auto pinged = [&](std::chrono::milliseconds within) {
    return WaitUntil([&] { return receive(50ms).find("WATCHDOG=1") != std::string::npos; }, within);
  };

  std::thread service([] { VESK::frame::RunReady(Loop); });
  EXPECT_TRUE(pinged(5s));
  SetPhase(kStalled);
  receive(200ms);  // what was on the way
  EXPECT_EQ(receive(400ms).find("WATCHDOG=1"), std::string::npos);
  SetPhase(kTurning);
  EXPECT_TRUE(pinged(5s));
  SetPhase(kDone);
  service.join();
  EXPECT_NE(receive(1s).find("STOPPING=1"), std::string::npos);
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  close(sock);
}

}  // namespace
