// The daemon's life as the broker and a remote operator see it.
#include <gtest/gtest.h>

#include "daemon_harness.h"

using namespace pemrix::testing;
namespace {

TEST(DaemonLifecycle, OnlineRetainedAgainAfterBrokerRestartThenOfflineAtSigint) {
  DaemonHarness h;
  ASSERT_TRUE(h.Start() && h.Connect()) << h.Log();  // a new subscriber gets the retained status
  auto status = h.probe->WaitMessage(h.Topic("status"), 5s);
  EXPECT_TRUE(status && status->payload == WireText("online") && status->retain && status->qos == 2);
  h.probe.reset();
  h.broker.Stop();
  ASSERT_TRUE(h.broker.Start() && h.Connect());
  status = h.probe->WaitMessage(h.Topic("status"), 10s);
  EXPECT_TRUE(status && status->payload == WireText("online")) << h.Log();
  EXPECT_TRUE(h.Serving(5)) << "request topic not subscribed again\n" << h.Log();
  h.daemon->Signal(SIGINT);
  ASSERT_TRUE(h.daemon->Wait(5s));
  EXPECT_EQ(0, h.daemon->ExitCode());
  status = h.probe->WaitMessage(h.Topic("status"), 5s);
  EXPECT_TRUE(status && status->payload == WireText("offline"));
}

TEST(DaemonLifecycle, WillSaysOfflineWhenKilled) {
  DaemonHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  h.daemon->Kill();
  auto status = h.probe->WaitMessage(h.Topic("status"), 10s);
  EXPECT_TRUE(status && status->payload == "offline" && status->qos == 2);  // the will has no zero byte
  ASSERT_TRUE(h.Connect());
  status = h.probe->WaitMessage(h.Topic("status"), 5s);
  EXPECT_TRUE(status && status->payload == "offline" && status->retain);
}

// Without a socket the loop pauses instead of spinning, and a stop is prompt.
TEST(DaemonLifecycle, IdleAndPromptToStopWhileBrokerUnreachable) {
  DaemonHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  const std::string schedstat = "/proc/" + std::to_string(h.daemon->Pid()) + "/schedstat";
  const long long cpuNs = std::stoll(ReadFile(schedstat));
  h.broker.Kill();
  ASSERT_TRUE(h.WaitLog("ERROR mosquitto_connect failed", 5s)) << h.Log();
  EXPECT_LT(std::stoll(ReadFile(schedstat)) - cpuNs, 200'000'000) << "CPU ns spent without a broker";
  h.daemon->Signal(SIGINT);
  ASSERT_TRUE(h.daemon->Wait(4s)) << "daemon did not stop";
  EXPECT_EQ(0, h.daemon->ExitCode());
}

TEST(DaemonLifecycle, UnusableMqttSettingsExitWithStatusOne) {
  DaemonHarness h;
  h.mqtt = {{"mqtt_client", {{"host", "127.0.0.1"}}}};
  ASSERT_TRUE(h.StartDaemon());
  ASSERT_TRUE(h.daemon->Wait(10s)) << "daemon kept running without usable settings";
  EXPECT_EQ(1, h.daemon->ExitCode());
  EXPECT_NE(std::string::npos, h.Log().find("ERROR 'mqtt.json' : mqtt_client.port : expected a number, found nothing"))
      << h.Log();
}

}  // namespace
