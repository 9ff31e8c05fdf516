#pragma once
// A remote operator's link to one gateway's management topics: requests
// with fresh ids, their replies, the retained status, and uploads that are
// windowed, verified and resumable.
//
// Single-threaded: everything, the connector's handlers included, runs on
// the caller's thread inside Pump(). Every wait is bounded by a deadline.
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>

#include "MqttConnector.h"

namespace VESK::ctl {

using Clock = std::chrono::steady_clock;

struct Reply {
  std::string text;      // the payload as received, without its zero byte
  nlohmann::json value;  // parsed, or null when it is no JSON
};

class GatewayLink {
 public:
  // connector: settings loaded, not yet connected; base: topic root and
  // device id, ending in "/".
  GatewayLink(std::shared_ptr<MqttConnector> connector, std::string base);
  ~GatewayLink();  // disconnects
  GatewayLink(const GatewayLink&) = delete;
  GatewayLink& operator=(const GatewayLink&) = delete;

  // Connects and subscribes the response and status topics. False at once
  // when the attempt fails (refused by the broker, no route, TLS), with the
  // reason in *why (the broker's CONNACK text where it gave one).
  bool Connect(Clock::time_point deadline, std::string* why = nullptr);
  bool Connected() const { return _connector->_connected; }
  // Publishes request with a fresh "id" added; returns that id.
  nlohmann::json Send(nlohmann::json request);
  // The next reply carrying this command and id.
  std::optional<Reply> WaitReply(const std::string& command, const nlohmann::json& id, Clock::time_point deadline);
  // The retained status text ("online"/"offline"), if the broker holds one.
  std::optional<std::string> WaitStatus(Clock::time_point deadline);
  // Publishes bytes on the receive topic (QoS 2).
  void SendData(const char* data, size_t size);
  // One network step, waiting at most waitMs for traffic.
  void Pump(int waitMs);
  size_t Pending() const { return _connector->PendingPublishes(); }
  std::string Topic(const std::string& suffix) const { return _base + suffix; }

  // Called for every reply to one of our requests as it arrives.
  std::function<void(const Reply&)> onReply;
  // Turns a request into the text published (signing); plain JSON when unset.
  std::function<std::string(const nlohmann::json&)> encode;

  // Messages on the response topic above this size are dropped unread: the
  // gateway's replies are a few hundred bytes.
  static constexpr size_t kMaxReply = 64 * 1024;
  // Replies kept for WaitReply; past this the oldest go (nobody waits for them).
  static constexpr size_t kMaxQueued = 4096;

 private:
  void OnMessage(const mosquitto_message* message);
  // Puts our connect and log callbacks on a new libmosquitto instance
  // (the connector's own connect callback still runs first).
  void Hook();
  static void ConnectTrampoline(mosquitto* mosq, void* obj, int rc);
  static void LogTrampoline(mosquitto* mosq, void* obj, int level, const char* text);

  std::shared_ptr<MqttConnector> _connector;
  std::string _base;
  std::string _idPrefix;
  uint64_t _counter = 0;
  std::set<std::string> _sent;  // ids of our requests
  mosquitto* _hooked = nullptr;
  std::deque<Reply> _replies;
  std::optional<std::string> _status;
  int _connackRc = -1;     // the broker's answer to our CONNECT, -1 none yet
  std::string _lastError;  // latest error line of the MQTT library
};

struct UploadOptions {
  std::string path;  // local file
  std::string name;  // name on the gateway
  bool resume = false;
  size_t chunk = 64 * 1024;
  // Bytes sent but not yet confirmed by "upload_status": the broker never
  // has to queue more than this for the gateway.
  uint64_t window = 8u << 20;
  uint64_t statusEvery = 1u << 20;
  // Longest time without progress before giving up.
  std::chrono::milliseconds stall{30000};
  // confirmed bytes, total bytes; called as confirmations arrive.
  std::function<void(uint64_t, uint64_t)> progress;
};

struct Outcome {
  bool ok = false;
  std::string message;  // why it failed
};

// Announces the file with its SHA-256 (from the gateway's own byte count
// when resuming), sends it in chunks within the window, and waits for the
// gateway's verdict.
Outcome Upload(GatewayLink& link, const UploadOptions& options);

// A reply's "result" (1 when it has none or no integer one) and its reason:
// "message" or "error" when a non-empty string, else "<command> failed".
int ReplyResult(const nlohmann::json& reply);
std::string ReplyMessage(const nlohmann::json& reply);

// Lower-case hex SHA-256 of a local file; "" when it cannot be read.
std::string Sha256OfFile(const std::string& path);

}  // namespace VESK::ctl
