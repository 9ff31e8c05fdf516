#pragma once
// The two ends a local client of the acquisition service holds: a JSON-RPC
// request socket and an event subscriber, both over real nanomsg sockets
// with bounded waits.
#include <chrono>
#include <nlohmann/json.hpp>
#include <string>

namespace pemrix::testing {

// One JSON-RPC 2.0 exchange on a fresh request socket: the whole response
// object, or null when nothing (parsable) arrived within timeout.
nlohmann::json RpcCall(const std::string& url, const std::string& method, const nlohmann::json& params,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5));

// The same exchange with a request text as given: the reply text, or "" when
// nothing arrived within timeout.
std::string RpcText(const std::string& url, const std::string& text,
                    std::chrono::milliseconds timeout = std::chrono::seconds(5));

// A subscribe socket connected to an event endpoint, taking every event.
class EventSubscriber {
 public:
  explicit EventSubscriber(const std::string& url);
  ~EventSubscriber();
  EventSubscriber(const EventSubscriber&) = delete;
  EventSubscriber& operator=(const EventSubscriber&) = delete;
  // The next event decoded from BSON, or null after timeout.
  nlohmann::json Next(std::chrono::milliseconds timeout);

 private:
  int _socket = -1;
};

}  // namespace pemrix::testing
