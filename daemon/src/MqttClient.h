#pragma once
// The daemon's one link to an MQTT broker, over one libmosquitto instance.
//
// Threading: no locks. Every operation, and every libmosquitto callback (they
// run inside mosquitto_loop, i.e. inside RunOnce), happens on the one thread
// that calls RunOnce. Handlers reached from OnConnect/OnMessage may call
// Publish, Subscribe and Unsubscribe re-entrantly.
//
// Blocking: RunOnce waits at most 100 ms (or the wait given) for network
// I/O; connects and
// reconnects are asynchronous, so no call waits for a TCP or TLS handshake.
//
// The process calls mosquitto_lib_init/mosquitto_lib_cleanup around the
// client's life; the client never does.
#include <mosquitto.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "LogThrottle.h"

namespace VESK {

// Last will handed to SetWillMessage; registered when the libmosquitto
// instance is created (the first connect).
struct WillMessageSetting {
  bool enable = false;
  std::string topic;
  std::string message;  // sent as its bytes, without a terminator
  int qos = 0;
  bool retain = false;
};

// One remembered subscription; subscribed again after every connection,
// because every connection is opened with the clean-session flag set.
struct _subscribeItem {
  std::string topic;
  int qos = 0;
};

class MqttClient {
 public:
  MqttClient();
  MqttClient(const char* clientId, const std::string& host, int port, int keepAlive);
  // Destroys a libmosquitto instance still left (the owner is expected to
  // call Disconnect first; this only keeps a forgotten one from leaking).
  virtual ~MqttClient();
  // The object is the user data of its libmosquitto instance: a copy would
  // share (and twice destroy) the instance.
  MqttClient(const MqttClient&) = delete;
  MqttClient& operator=(const MqttClient&) = delete;

  // Copies the will; takes effect when the instance is created (first connect).
  void SetWillMessage(WillMessageSetting& will);
  // Connects with a fresh instance (will, credentials and transport security
  // applied anew); a reconnect first destroys the instance of the lost link,
  // so nothing it received can reach the owner afterwards. True when the
  // library accepted the request or the link is already up.
  bool ConnectBroker();
  // One poll step: network I/O (<= 100 ms), loss detection, timed reconnect.
  void RunOnce() { RunOnce(kDefaultWaitMs); }
  // The same, waiting up to waitMs for traffic on the broker's socket; with
  // no socket to wait on (link down) it pauses waitMs, so a caller's loop
  // never spins.
  void RunOnce(int waitMs);
  static constexpr int kDefaultWaitMs = 100;
  // Refused with an ERROR line while the link is down; nothing is queued.
  // The text overload sends the text followed by one zero byte.
  void Publish(const std::string& topic, int qos, bool retain, const std::string& payload);
  // Sends exactly the bytes of the vector.
  void Publish(const std::string& topic, int qos, bool retain, const std::vector<uint8_t>& payload);
  // Records new topics (a recorded topic keeps its QoS); sends them at once
  // only when connected.
  void Subscribe(const std::vector<std::string>& topics, int qos);
  // Forgets recorded topics; sends the unsubscribe only when connected.
  void Unsubscribe(const std::vector<std::string>& topics);
  // Disconnects and destroys the instance, if any.
  void Disconnect();

  // Hooks for subclasses; all run inside RunOnce.
  // After every connection acknowledgement (rc 0 = accepted), after the
  // recorded topics have been subscribed again.
  virtual void OnConnect(int rc);
  // msg belongs to libmosquitto and is valid only during the call.
  virtual void OnMessage(const mosquitto_message* msg);
  virtual void OnSubscribe(int mid, int qos_count, const int* granted_qos);

  // libmosquitto callbacks; obj is the MqttClient (null: no effect).
  static void ConnectCallback(mosquitto* mosq, void* obj, int rc);
  static void MessageCallback(mosquitto* mosq, void* obj, const mosquitto_message* msg);
  static void SubscribeCallback(mosquitto* mosq, void* obj, int mid, int qos_count, const int* granted_qos);
  // libmosquitto's publish callback: the message with this id has completed
  // its QoS handshake with the broker. Runs inside RunOnce.
  static void PublishCallback(mosquitto* mosq, void* obj, int mid);

  // True while a QoS 1/2 message published on the current link has not
  // completed its handshake. Lets the owner poll until a reply is really out
  // before it blocks (the restart request). A lost link forgets them.
  bool HasPendingPublishes() const { return !_inFlight.empty(); }
  // How many: a sender keeps this bounded instead of queueing a whole file.
  size_t PendingPublishes() const { return _inFlight.size(); }
  // TLS private-key password callback: userdata is the libmosquitto instance,
  // whose user data is the client; supplies _certPassword. Returns the number
  // of password bytes placed in buf.
  static int PasswordCheckCallback(char* buf, int size, int rwflag, void* userdata);

  // Subscription book, keyed (and so re-subscribed) in byte-wise topic order.
  std::map<std::string, std::shared_ptr<_subscribeItem>> _subscribeItems;
  WillMessageSetting _will;
  // Latest connect/reconnect attempt or detected loss. Monotonic: a wall
  // clock set back (NTP on a box without RTC) must not stall reconnects.
  std::chrono::steady_clock::time_point _lastConnectTime{};
  std::string _clientId;     // also the PSK identity, unless _pskIdentity is set
  std::string _pskIdentity;  // a second client of the same box shares the identity, not the client id
  std::string _host;
  std::string _username;  // empty: no credentials sent
  std::string _password;
  std::string _caFile;
  std::string _certFile;
  std::string _keyFile;
  std::string _certPassword;  // key password (mode 1) or pre-shared key (mode 2)
  int _encryptionMode = 0;    // 0 plain TCP, 1 TLS with certificates, 2 TLS-PSK
  int _port = 1883;
  int _keepAlive = 60;         // seconds
  int _reconnectTime = 5;      // seconds between attempts while down
  mosquitto* _mosq = nullptr;  // owned; created at first connect
  bool _connected = false;

 private:
  void SendPublish(const std::string& topic, int qos, bool retain, const void* bytes, size_t length);
  // Creates _mosq with callbacks, will, credentials and transport security;
  // verbose logs the set-up (the first connect). False when the library
  // refused: _mosq is null then.
  bool CreateInstance(bool verbose);
  // The latest instance was dropped because libmosquitto refused its TLS
  // settings; creation then waits for the reconnect pause.
  bool _tlsSetupFailed = false;
  // Message ids of QoS 1/2 publishes whose handshake has not completed.
  std::set<int> _inFlight;
  // A broker that stays away fails every reconnect: one line a minute.
  frame::LogThrottle _reconnectLog;
};

}  // namespace VESK
