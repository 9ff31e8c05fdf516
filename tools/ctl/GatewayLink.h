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

  // Connects and subscribes the response and status topics.
  bool Connect(Clock::time_point deadline);
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

  // Called for every reply as it arrives.
  std::function<void(const Reply&)> onReply;
  // Turns a request into the text published (signing); plain JSON when unset.
  std::function<std::string(const nlohmann::json&)> encode;

 private:
  void OnMessage(const mosquitto_message* message);

  std::shared_ptr<MqttConnector> _connector;
  std::string _base;
  std::string _idPrefix;
  uint64_t _counter = 0;
  std::deque<Reply> _replies;
  std::optional<std::string> _status;
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

// Lower-case hex SHA-256 of a local file; "" when it cannot be read.
std::string Sha256OfFile(const std::string& path);

}  // namespace VESK::ctl
