// The daemon's life as the broker and a remote operator see it: status,
// last will, reconnects, orderly stops and unusable settings.
#include <gtest/gtest.h>

#include <csignal>

#include "daemon_harness.h"

namespace pemrix::testing {
namespace {

using json = nlohmann::json;

TEST(DaemonLifecycle, OnlineRetainedThenOfflineAtSigint) {
  DaemonHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();

  // A client that arrives later still learns the status: it is retained.
  MqttProbe late(h.broker.Port());
  ASSERT_TRUE(late.Connect());
  ASSERT_TRUE(late.Subscribe(h.Topic("status")));
  auto status = late.WaitMessage(h.Topic("status"), 5s);
  ASSERT_TRUE(status);
  EXPECT_EQ(WireText("online"), status->payload);
  EXPECT_TRUE(status->retain);
  EXPECT_EQ(2, status->qos);

  h.daemon->Signal(SIGINT);
  ASSERT_TRUE(h.daemon->Wait(5s));
  EXPECT_EQ(0, h.daemon->ExitCode());
  status = h.probe->WaitMessage(h.Topic("status"), 5s);
  ASSERT_TRUE(status);
  EXPECT_EQ(WireText("offline"), status->payload);
  EXPECT_NE(std::string::npos, h.Log().find("Signal Code = 2"));
}

TEST(DaemonLifecycle, WillSaysOfflineWhenKilled) {
  DaemonHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  h.daemon->Kill();
  auto status = h.probe->WaitMessage(h.Topic("status"), 10s);
  ASSERT_TRUE(status);
  // The will carries the text's bytes without the zero byte.
  EXPECT_EQ("offline", status->payload);

  MqttProbe late(h.broker.Port());
  ASSERT_TRUE(late.Connect());
  ASSERT_TRUE(late.Subscribe(h.Topic("status")));
  status = late.WaitMessage(h.Topic("status"), 5s);
  ASSERT_TRUE(status);
  EXPECT_EQ("offline", status->payload);
  EXPECT_TRUE(status->retain);
}

TEST(DaemonLifecycle, OnlineAgainAfterBrokerRestartAndStillServing) {
  DaemonHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  h.probe.reset();
  h.broker.Stop();
  ASSERT_TRUE(h.broker.Start());

  MqttProbe probe(h.broker.Port());
  ASSERT_TRUE(probe.Connect());
  ASSERT_TRUE(probe.Subscribe(h.Topic("status")));
  ASSERT_TRUE(probe.Subscribe(h.Topic("response")));
  auto status = probe.WaitMessage(h.Topic("status"), 10s);
  ASSERT_TRUE(status) << h.Log();
  EXPECT_EQ(WireText("online"), status->payload);
  std::string log = h.Log();
  EXPECT_NE(log.find("Broker Connected! 127.0.0.1"), log.rfind("Broker Connected! 127.0.0.1"));

  // The request topic was subscribed again on the new connection.
  ASSERT_TRUE(probe.Publish(h.Topic("request"), R"({"command":"test","id":5})"));
  auto reply = probe.WaitMessage(h.Topic("response"), 10s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(WireReply({{"command", "test"}, {"id", 5}}), reply->payload);
}

TEST(DaemonLifecycle, StopWhileBrokerUnreachableReturnsPromptly) {
  DaemonHarness h;
  ASSERT_TRUE(h.Start()) << h.Log();
  h.broker.Kill();
  // Let the daemon notice the loss and fail a reconnect before it is asked
  // to stop.
  ASSERT_TRUE(h.WaitLog("ERROR mosquitto_connect failed", 5s)) << h.Log();

  auto begin = std::chrono::steady_clock::now();
  h.daemon->Signal(SIGINT);
  ASSERT_TRUE(h.daemon->Wait(5s)) << "daemon did not stop";
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 4s);
  EXPECT_EQ(0, h.daemon->ExitCode());
  EXPECT_NE(std::string::npos, h.Log().find("ERROR MQTT Broker not connect!")) << h.Log();
}

// The variants of unusable settings are covered in-process; here the program
// as a whole: it ends with status 1 instead of idling without a broker.
TEST(DaemonLifecycle, UnusableMqttSettingsExitWithStatusOne) {
  TempDir dir("pemrix-daemon-bad");
  WriteFile(dir.File("mqtt.json"), R"({"mqtt_client": {"host": "127.0.0.1"}})");
  WriteFile(dir.File("log.conf"), "* GLOBAL:\n   FORMAT = \"%level %msg\"\n   TO_FILE = false\n");
  Process::Options o;
  o.argv = {BinPath("Pemrix.Daemon")};
  o.cwd = dir.Path();
  o.output = dir.File("daemon.out");
  Process daemon(o);
  ASSERT_TRUE(daemon.Start());
  ASSERT_TRUE(daemon.Wait(10s)) << "daemon kept running without usable settings";
  EXPECT_EQ(1, daemon.ExitCode());
  EXPECT_NE(std::string::npos, daemon.Output().find("ERROR 'mqtt.json' : 'mqtt_client' ")) << daemon.Output();
}

}  // namespace
}  // namespace pemrix::testing
