// The MQTT link against a real mosquitto broker. (The last will is proven on the daemon.)
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <regex>

#include "LogCapture.h"
#include "MqttConnector.h"
#include "MqttProbe.h"
#include "Servers.h"

using namespace pemrix::testing;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

namespace {

const auto* const kLibrary = ::testing::AddGlobalTestEnvironment(new MosquittoLibrary);
const std::string kOnlineText("online\0", 7);  // what the text overload sends
const char* const kPsk = "0123456789abcdef";
// Wall-clock steps (NTP setting the clock back) must not stall reconnects.
static_assert(std::is_same_v<decltype(VESK::MqttClient::_lastConnectTime), Clock::time_point>);

json Settings(int port, const json& extra = json::object()) {
  json settings = {
      {"host", "127.0.0.1"}, {"port", port}, {"keep_alive", 60}, {"reconnect_time", 1}, {"encryption_mode", 0}};
  settings.update(extra);
  return settings;
}

// A client as the daemon sets one up, recording what reaches its handlers.
struct Gateway {
  VESK::MqttConnector c;
  int accepted = 0;
  std::vector<std::string> received;  // "topic=payload"
  std::function<void()> onAccepted = [] {};

  explicit Gateway(const json& settings) {
    c.LoadFromJSON(settings);
    c._connectedHandler = [this] { ++accepted, onAccepted(); };
    c._messageHandler = [this](const mosquitto_message* m) {
      received.push_back(std::string(m->topic) + "=" +
                         std::string(static_cast<const char*>(m->payload), m->payloadlen));
    };
  }
  ~Gateway() { c.Disconnect(); }
  bool Pump(const std::function<bool()>& cond, std::chrono::milliseconds timeout = 5s) {
    return WaitUntil([&] { return c.RunOnce(), cond(); }, timeout, 0ms);
  }
  // What the client queued leaves only during its poll steps.
  std::optional<MqttMessage> Await(MqttProbe& probe, const std::string& topic) {
    std::optional<MqttMessage> message;
    Pump([&] { return (message = probe.WaitMessage(topic, 0ms)).has_value(); });
    return message;
  }
};

// The client's key is protected by "key-secret"; rogue.crt certifies it by an untrusted CA.
bool MakePki(const TempDir& d) {
  const std::string req = " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -days 2 ",
                    sign = " && openssl x509 -req -days 2 -CAcreateserial -in ";
  return RunShell("cd '" + d.Path() + "'" + req + "-x509 -nodes -keyout ca.key -out ca.crt -subj /CN=ca" + req +
                  "-nodes -keyout server.key -out server.csr -subj /CN=127.0.0.1" + sign +
                  "server.csr -CA ca.crt -CAkey ca.key -out server.crt" + req +
                  "-passout pass:key-secret -keyout client.key -out client.csr -subj /CN=gw" + sign +
                  "client.csr -CA ca.crt -CAkey ca.key -out client.crt" + req +
                  "-x509 -nodes -keyout rogue-ca.key -out rogue-ca.crt -subj /CN=rogue" + sign +
                  "client.csr -CA rogue-ca.crt -CAkey rogue-ca.key -out rogue.crt >openssl.log 2>&1") == 0;
}

class TransportMode : public ::testing::TestWithParam<int> {};

TEST_P(TransportMode, RoundTripWithExactPayloadsAndWrongSecretsNeverConnect) {
  const int mode = GetParam(), probePort = FreeTcpPort();
  TempDir pki;
  ASSERT_TRUE(!mode || MakePki(pki)) << ReadFile(pki.File("openssl.log"));
  WriteFile(pki.File("psk"), std::string("gw-tls:") + kPsk + "\n");
  const std::string tls[] = {"",
                             "cafile " + pki.File("ca.crt") + "\ncertfile " + pki.File("server.crt") + "\nkeyfile " +
                                 pki.File("server.key") + "\nrequire_certificate true\n",
                             "psk_hint pemrix\npsk_file " + pki.File("psk") + "\n"};
  MosquittoBroker broker(tls[mode] + "listener " + std::to_string(probePort) + " 127.0.0.1\n");
  ASSERT_TRUE(broker.Start()) << broker.Log();
  ASSERT_TRUE(WaitUntil([&] { return TcpPortOpen(probePort); }, 5s));  // Start() waits for the first listener
  json settings = Settings(broker.Port(), {{"client_id", "gw-tls"}, {"encryption_mode", mode}});
  for (const auto& [key, file] :
       {std::pair{"ca_file", "ca.crt"}, {"cert_file", "client.crt"}, {"key_file", "client.key"}})
    settings[key] = pki.File(file);
  settings["cert_password"] = mode == 2 ? kPsk : "key-secret";
  MqttProbe probe(probePort);
  ASSERT_TRUE(probe.Connect() && probe.Subscribe("gw/out"));
  {
    Gateway gw(settings);
    gw.c.Subscribe({"gw/in"}, 2);
    // Sent after the SUBSCRIBE: once the probe has these, the broker holds the subscription.
    gw.onAccepted = [&] {
      gw.c.Publish("gw/out", 2, false, "online");
      gw.c.Publish("gw/out", 2, false, std::vector<uint8_t>{'o', 'n', 'l', 'i', 'n', 'e'});
    };
    ASSERT_TRUE(gw.Pump([&] { return gw.accepted; }, 10s)) << broker.Log();
    auto text = gw.Await(probe, "gw/out"), bytes = gw.Await(probe, "gw/out");
    ASSERT_TRUE(text && bytes);
    EXPECT_EQ(text->payload, kOnlineText);
    EXPECT_EQ(bytes->payload, "online");
    ASSERT_TRUE(probe.Publish("gw/in", std::string("p\0ng", 4)));
    ASSERT_TRUE(gw.Pump([&] { return !gw.received.empty(); }));
    EXPECT_EQ(gw.received[0], std::string("gw/in=p\0ng", 10));
  }
  const json wrong[] = {
      json::object(),
      {{"cert_file", pki.File("rogue.crt")}, {"ca_file", pki.File("rogue-ca.crt")}, {"cert_password", "nope"}},
      {{"cert_password", "deadbeef"}, {"client_id", "gw-unknown"}}};
  for (const auto& [key, value] : wrong[mode].items()) {
    SCOPED_TRACE(key);
    json bad = settings;
    bad[key] = value;
    LogCapture log;
    Gateway gw(bad);
    EXPECT_FALSE(gw.Pump([&] { return gw.accepted; }, 2s));
    EXPECT_EQ(log.Count("certificate verify failed", "ERROR"), std::string(key) == "ca_file");
  }
}

INSTANTIATE_TEST_SUITE_P(PlainCertificatePsk, TransportMode, ::testing::Values(0, 1, 2));

TEST(MqttReconnect, BrokerRestartResubscribesInOrderAfterThePause) {
  const int port = FreeTcpPort();
  auto broker = std::make_unique<MosquittoBroker>("", port);
  ASSERT_TRUE(broker->Start());
  Gateway gw(Settings(port, {{"client_id", "gw-restart"}}));
  gw.onAccepted = [&] { gw.c.Publish("gw/status", 2, true, "online"); };
  // Booked while down; a recorded topic keeps its first QoS; an unsubscribed one is not subscribed again.
  gw.c.Subscribe({"b/2", "a/1", "gone/x"}, 1);
  gw.c.Subscribe({"B/0", "a/10", "a/1"}, 0);
  gw.c.Unsubscribe({"gone/x", "never/booked"});
  ASSERT_TRUE(gw.Pump([&] { return gw.accepted == 1; })) << broker->Log();

  broker->Stop();
  ASSERT_TRUE(gw.Pump([&] { return !gw.c._connected; }));
  const auto loss = gw.c._lastConnectTime;
  ASSERT_TRUE(gw.Pump([&] { return gw.c._lastConnectTime != loss; }));
  EXPECT_GE(gw.c._lastConnectTime - loss, 1s);  // the first attempt waits for the pause
  broker = std::make_unique<MosquittoBroker>("", port);
  ASSERT_TRUE(broker->Start());
  ASSERT_TRUE(gw.Pump([&] { return gw.accepted == 2; })) << broker->Log();
  MqttProbe probe(port);
  ASSERT_TRUE(probe.Connect() && probe.Subscribe("gw/status"));
  auto status = gw.Await(probe, "gw/status");
  ASSERT_TRUE(status);
  EXPECT_EQ(status->payload, kOnlineText);
  ASSERT_TRUE(probe.Publish("a/10", "again"));
  ASSERT_TRUE(gw.Pump([&] { return !gw.received.empty(); }));
  EXPECT_EQ(gw.received[0], "a/10=again");

  // Subscribed in byte order, all before the first PUBLISH (from OnConnect); the probe's own subscription aside.
  const std::string log = broker->Log().substr(0, broker->Log().find("Received PUBLISH from gw-restart"));
  const std::regex tabbed("Received SUBSCRIBE from gw-restart\n[^\t]*\t(.*)");
  std::vector<std::string> topics;
  for (std::sregex_iterator it(log.begin(), log.end(), tabbed), end; it != end; ++it) topics.push_back((*it)[1]);
  EXPECT_EQ(topics, (std::vector<std::string>{"B/0 (QoS 0)", "a/1 (QoS 1)", "a/10 (QoS 0)", "b/2 (QoS 1)"})) << log;
}

// A silent peer, a refusing broker, and TLS settings libmosquitto refuses (leaving plain TCP).
TEST(MqttLinkDown, UnansweredRefusedOrUnusableLinksAreRetriedEveryPauseAndRefusePublishes) {
  std::vector<int> fds{socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)};
  const std::shared_ptr<void> closeAll(nullptr, [&](void*) { std::for_each(fds.begin(), fds.end(), close); });
  const int listener = fds[0];
  sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof addr;
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&addr), len) + listen(listener, 8) +
                   getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len));
  TempDir dir;
  ASSERT_TRUE(RunShell("mosquitto_passwd -b -c '" + dir.File("passwd") + "' operator right >/dev/null 2>&1") == 0);
  MosquittoBroker broker("allow_anonymous false\npassword_file " + dir.File("passwd") + "\n");
  ASSERT_TRUE(broker.Start());
  const json tls = {{"encryption_mode", 1}, {"ca_file", "/nonexistent"}, {"username", "gateway"}, {"password", "pw"}};
  const json wrongPassword = {{"username", "operator"}, {"password", "wrong"}};
  // Each cause is logged once, at the first attempt, not again at each retry.
  for (const auto& [settings, cause] : {std::pair{Settings(ntohs(addr.sin_port)), ""},
                                        {Settings(broker.Port(), wrongPassword), "not authorised"},
                                        {Settings(broker.Port(), tls),
                                         "MQTT TLS set-up failed, return = 3 (Invalid function arguments provided.): "
                                         "ca_file '/nonexistent': No such file or directory"}}) {
    SCOPED_TRACE(settings.dump());
    LogCapture log;
    int early = -1;
    Gateway gw(settings);
    std::vector<Clock::time_point> attempts{{}};
    ASSERT_TRUE(gw.Pump(
        [&] {
          for (int fd; (fd = accept(listener, nullptr, nullptr)) >= 0;) fds.push_back(fd);
          if (gw.c._lastConnectTime != attempts.back()) attempts.push_back(gw.c._lastConnectTime);
          if (attempts.size() == 3 && early < 0) early = log.Count(cause, "ERROR");
          return attempts.size() == 4;
        },
        5s));
    EXPECT_EQ(gw.accepted, 0);
    EXPECT_EQ(early, *cause ? 1 : 0);
    EXPECT_EQ(log.Count(cause, "ERROR"), *cause ? 1 : 0);
    for (size_t i = 2; i < attempts.size(); ++i) {
      EXPECT_GE(attempts[i] - attempts[i - 1], 1s);
      EXPECT_LT(attempts[i] - attempts[i - 1], 1900ms);  // no attempt skipped
    }
    gw.c.Publish("gw/status", 2, true, "online");
    gw.c.Publish("gw/status", 2, true, std::vector<uint8_t>{1, 2});
    EXPECT_EQ(log.Count("MQTT Broker not connect!", "ERROR"), 2);
  }
  EXPECT_GE(fds.size(), 4u);  // every attempt on the silent peer is a new TCP connection
  EXPECT_EQ(broker.Log().find("gateway"), std::string::npos);
}

}  // namespace
