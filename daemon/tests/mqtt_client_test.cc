// The MQTT link against a real mosquitto broker: the three transport modes,
// payload bytes on the wire, reconnects after an outage or a silent peer, and
// publishing while the link is down. (The last will is proven on the daemon.)
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "LogCapture.h"
#include "MqttConnector.h"
#include "MqttProbe.h"
#include "Servers.h"
#include "TestSupport.h"

using namespace pemrix::testing;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

namespace {

const auto* const kLibrary = ::testing::AddGlobalTestEnvironment(new MosquittoLibrary);

const std::string kOnlineText("online\0", 7);  // what the text overload sends
const char* const kPsk = "0123456789abcdef";

// A client as the daemon sets one up, recording what reaches its handlers.
struct Gateway {
  VESK::MqttConnector c;
  std::vector<Clock::time_point> accepted;
  std::vector<Clock::time_point> refused;  // time of each refused attempt
  std::vector<std::string> received;       // "topic=payload"
  std::function<void()> onAccepted;

  explicit Gateway(int port) {
    c._host = "127.0.0.1";
    c._port = port;
    c._reconnectTime = 1;
    c._connectedHandler = [this] {
      accepted.push_back(Clock::now());
      if (onAccepted) onAccepted();
    };
    // The attempt's own time: answer delays differ from one attempt to the next.
    c._disconnectedHandler = [this] { refused.push_back(c._lastConnectTime); };
    c._messageHandler = [this](const mosquitto_message* m) {
      received.push_back(std::string(m->topic) + "=" +
                         std::string(static_cast<const char*>(m->payload), m->payloadlen));
    };
  }
  ~Gateway() { c.Disconnect(); }

  // Drives the poll step until cond holds or timeout passes.
  bool Pump(const std::function<bool()>& cond, std::chrono::milliseconds timeout = 5s) {
    return WaitUntil(
        [&] {
          c.RunOnce();
          return cond();
        },
        timeout, 0ms);
  }
  // The probe's next message on topic; the client keeps polling meanwhile
  // (what it queued leaves only during its poll steps).
  std::optional<MqttMessage> Await(MqttProbe& probe, const std::string& topic) {
    std::optional<MqttMessage> message;
    Pump([&] { return (message = probe.WaitMessage(topic, 0ms)).has_value(); });
    return message;
  }
};

// A CA, the broker's certificate, a client certificate whose key is
// protected by "key-secret", and the same key certified by a CA that the
// broker does not trust.
bool MakePki(const TempDir& d) {
  const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 ";
  const std::string sign = " -days 2 -CAcreateserial ";
  return RunShell("cd '" + d.Path() + "' && { openssl req -x509" + ec + "-nodes -keyout ca.key -out ca.crt -days 2" +
                  " -subj /CN=test-ca && openssl req" + ec + "-nodes -keyout server.key -out server.csr" +
                  " -subj /CN=127.0.0.1 && openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key" + sign +
                  "-out server.crt && openssl req" + ec + "-passout pass:key-secret -keyout client.key" +
                  " -out client.csr -subj /CN=gateway && openssl x509 -req -in client.csr -CA ca.crt" +
                  " -CAkey ca.key" + sign + "-out client.crt && openssl req -x509" + ec +
                  "-nodes -keyout rogue-ca.key -out rogue-ca.crt -days 2 -subj /CN=rogue-ca && openssl x509" +
                  " -req -in client.csr -CA rogue-ca.crt -CAkey rogue-ca.key" + sign + "-out rogue.crt; }" +
                  " >openssl.log 2>&1") == 0;
}

// One broker per transport mode (0 plain, 1 certificates, 2 pre-shared key):
// that listener for the gateway and a plain one for the probe.
class TransportMode : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(MakePki(pki)) << ReadFile(pki.File("openssl.log"));
    WriteFile(pki.File("psk"), std::string("gw-tls:") + kPsk + "\n");
    std::string extra;
    if (GetParam() == 1) {
      extra = "cafile " + pki.File("ca.crt") + "\ncertfile " + pki.File("server.crt") + "\nkeyfile " +
              pki.File("server.key") + "\nrequire_certificate true\n";
    } else if (GetParam() == 2) {
      extra = "psk_hint pemrix\npsk_file " + pki.File("psk") + "\n";
    }
    broker = std::make_unique<MosquittoBroker>(extra + "listener " + std::to_string(probePort) + " 127.0.0.1\n");
    ASSERT_TRUE(broker->Start()) << broker->Log();
    // Start() waits for the first listener only.
    ASSERT_TRUE(WaitUntil([&] { return TcpPortOpen(probePort); }, 5s)) << broker->Log();
  }

  // Settings as "mqtt.json" would hold them for this mode.
  json Settings() const {
    return {{"client_id", "gw-tls"},
            {"host", "127.0.0.1"},
            {"port", broker->Port()},
            {"keep_alive", 60},
            {"reconnect_time", 1},
            {"encryption_mode", GetParam()},
            {"ca_file", pki.File("ca.crt")},
            {"cert_file", pki.File("client.crt")},
            {"key_file", pki.File("client.key")},
            {"cert_password", GetParam() == 2 ? kPsk : "key-secret"}};
  }

  TempDir pki;
  int probePort = FreeTcpPort();
  std::unique_ptr<MosquittoBroker> broker;
};

TEST_P(TransportMode, RoundTripWithExactPayloadsAndWrongSecretsNeverConnect) {
  MqttProbe probe(probePort);
  ASSERT_TRUE(probe.Connect());
  ASSERT_TRUE(probe.Subscribe("gw/out"));
  {
    Gateway gw(broker->Port());
    json settings = Settings();
    gw.c.LoadFromJSON(settings);
    gw.c.Subscribe({"gw/in"}, 2);
    // Published from the handler: the SUBSCRIBE sent on connect precedes it,
    // so once the probe has these the broker holds the subscription.
    gw.onAccepted = [&] {
      gw.c.Publish("gw/out", 2, false, "online");
      gw.c.Publish("gw/out", 2, false, std::vector<uint8_t>{'o', 'n', 'l', 'i', 'n', 'e'});
    };
    ASSERT_TRUE(gw.Pump([&] { return !gw.accepted.empty(); }, 10s)) << broker->Log();
    auto text = gw.Await(probe, "gw/out");
    auto bytes = gw.Await(probe, "gw/out");
    ASSERT_TRUE(text && bytes);
    EXPECT_EQ(text->payload, kOnlineText);
    EXPECT_EQ(bytes->payload, "online");
    ASSERT_TRUE(probe.Publish("gw/in", std::string("p\0ng", 4)));
    ASSERT_TRUE(gw.Pump([&] { return !gw.received.empty(); }));
    EXPECT_EQ(gw.received[0], std::string("gw/in=p\0ng", 10));
  }
  // Wrong credentials at the TLS layer must keep the link down, not degrade it.
  std::vector<std::pair<std::string, std::string>> wrong;
  if (GetParam() == 1) {
    wrong = {{"cert_file", pki.File("rogue.crt")}, {"ca_file", pki.File("rogue-ca.crt")}, {"cert_password", "nope"}};
  } else if (GetParam() == 2) {
    wrong = {{"cert_password", "deadbeef"}, {"client_id", "gw-unknown"}};
  }
  for (const auto& [key, value] : wrong) {
    SCOPED_TRACE(key);
    Gateway gw(broker->Port());
    json settings = Settings();
    settings[key] = value;
    gw.c.LoadFromJSON(settings);
    EXPECT_FALSE(gw.Pump([&] { return !gw.accepted.empty(); }, 2s));
    EXPECT_FALSE(gw.c._connected);
  }
}

INSTANTIATE_TEST_SUITE_P(Mqtt, TransportMode, ::testing::Values(0, 1, 2), [](const auto& info) {
  return std::string(info.param == 0 ? "Plain" : info.param == 1 ? "Certificate" : "Psk");
});

// libmosquitto leaves an instance whose TLS settings it refused in plain TCP;
// such a client must not connect (and send its credentials) in clear.
TEST(MqttTls, UnusableCertificateFilesNeverFallBackToPlain) {
  LogCapture log;
  MosquittoBroker broker;
  ASSERT_TRUE(broker.Start());
  Gateway gw(broker.Port());
  gw.c._encryptionMode = 1;
  gw.c._caFile = "/nonexistent/ca.crt";
  gw.c._username = "gateway";
  gw.c._password = "secret";
  gw.Pump([] { return false; }, 2s);
  EXPECT_TRUE(gw.accepted.empty());
  EXPECT_EQ(broker.Log().find("gateway"), std::string::npos);
  // Retried on the reconnect schedule, not on every poll step.
  int failures = log.Count("MQTT TLS set-up failed", "ERROR");
  EXPECT_GE(failures, 2);
  EXPECT_LE(failures, 4);
}

// Topics the broker logged as subscribed by clientId, in order, up to the
// client's first PUBLISH (marked "<publish>").
std::vector<std::string> SubscribedTopics(const std::string& log, const std::string& clientId) {
  std::vector<std::string> topics;
  std::istringstream in(log);
  bool inSubscribe = false;
  for (std::string line; std::getline(in, line);) {
    if (line.find("Received PUBLISH from " + clientId) != std::string::npos) {
      topics.push_back("<publish>");
      break;
    }
    auto tab = line.find('\t');
    if (inSubscribe && tab != std::string::npos) {
      topics.push_back(line.substr(tab + 1));
    } else {
      inSubscribe = line.find("Received SUBSCRIBE from " + clientId) != std::string::npos;
    }
  }
  return topics;
}

TEST(MqttReconnect, BrokerRestartResubscribesInOrderAfterThePause) {
  int port = FreeTcpPort();
  auto broker = std::make_unique<MosquittoBroker>("", port);
  ASSERT_TRUE(broker->Start());
  Gateway gw(port);
  gw.c._clientId = "gw-restart";
  gw.onAccepted = [&] { gw.c.Publish("gw/status", 2, true, "online"); };
  // Booked while down; a recorded topic keeps its first QoS; an unsubscribed
  // one is not subscribed again.
  gw.c.Subscribe({"b/2", "a/1", "gone/x"}, 1);
  gw.c.Subscribe({"B/0", "a/10", "a/1"}, 0);
  gw.c.Unsubscribe({"gone/x", "never/booked"});
  ASSERT_TRUE(gw.Pump([&] { return gw.accepted.size() == 1; })) << broker->Log();

  broker->Stop();
  ASSERT_TRUE(gw.Pump([&] { return !gw.c._connected; }));
  const auto loss = gw.c._lastConnectTime;
  ASSERT_TRUE(gw.Pump([&] { return gw.c._lastConnectTime != loss; }));
  EXPECT_GE(gw.c._lastConnectTime - loss, 1s);  // the first attempt waits for the pause
  broker = std::make_unique<MosquittoBroker>("", port);
  ASSERT_TRUE(broker->Start());
  ASSERT_TRUE(gw.Pump([&] { return gw.accepted.size() == 2; })) << broker->Log();

  MqttProbe probe(port);
  ASSERT_TRUE(probe.Connect());
  ASSERT_TRUE(probe.Subscribe("gw/status"));
  auto status = gw.Await(probe, "gw/status");
  ASSERT_TRUE(status);
  EXPECT_EQ(status->payload, kOnlineText);
  ASSERT_TRUE(probe.Publish("a/10", "again"));
  ASSERT_TRUE(gw.Pump([&] { return !gw.received.empty(); }));
  EXPECT_EQ(gw.received[0], "a/10=again");
  std::vector<std::string> expected{"B/0 (QoS 0)", "a/1 (QoS 1)", "a/10 (QoS 0)", "b/2 (QoS 1)", "<publish>"};
  EXPECT_EQ(SubscribedTopics(broker->Log(), "gw-restart"), expected) << broker->Log();
}

TEST(MqttReconnect, SilentListenerIsRetriedEveryPause) {
  struct Fds {
    std::vector<int> fds;
    ~Fds() {
      for (int fd : fds) close(fd);
    }
  } held;
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  ASSERT_GE(listener, 0);
  held.fds.push_back(listener);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(listen(listener, 8), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);

  Gateway gw(ntohs(addr.sin_port));
  int accepted = 0;
  std::vector<Clock::time_point> attempts;
  ASSERT_TRUE(gw.Pump(
      [&] {
        for (int fd; (fd = accept(listener, nullptr, nullptr)) >= 0; ++accepted) held.fds.push_back(fd);
        if (gw.c._mosq && (attempts.empty() || gw.c._lastConnectTime != attempts.back()))
          attempts.push_back(gw.c._lastConnectTime);
        return attempts.size() == 4;
      },
      6s));
  EXPECT_GE(accepted, 3);  // every attempt is a new TCP connection
  EXPECT_TRUE(gw.accepted.empty());
  for (size_t i = 1; i < attempts.size(); ++i) {
    EXPECT_GE(attempts[i] - attempts[i - 1], 1s);
    EXPECT_LT(attempts[i] - attempts[i - 1], 1900ms);  // no attempt skipped
  }
}

TEST(MqttLinkDown, RefusedConnectionIsRetriedAndPublishesAreRefused) {
  LogCapture log;
  MosquittoBroker broker("allow_anonymous false\n");
  ASSERT_TRUE(broker.Start());
  Gateway gw(broker.Port());
  ASSERT_TRUE(gw.Pump([&] { return gw.refused.size() == 2; })) << broker.Log();
  EXPECT_GE(gw.refused[1] - gw.refused[0], 1s);
  EXPECT_TRUE(gw.accepted.empty());
  gw.c.Publish("gw/status", 2, true, "online");
  gw.c.Publish("gw/status", 2, true, std::vector<uint8_t>{1, 2});
  EXPECT_EQ(log.Count("MQTT Broker not connect!", "ERROR"), 2);
}

}  // namespace
