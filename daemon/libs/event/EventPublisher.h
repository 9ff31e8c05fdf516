#pragma once
// One-to-many event channel: each event is one BSON document sent on a
// nanomsg publish socket bound to a local endpoint.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <string>

#include "LogThrottle.h"

namespace VESK {

// Every operation takes the publisher's mutex, so Send/Emit may be called from
// several threads and Bind/Close may not tear the socket from under a Send.
// A publish socket never blocks on slow subscribers (it drops for them).
class EventPublisher {
 public:
  EventPublisher();
  // Closes the socket if open.
  ~EventPublisher();
  EventPublisher(const EventPublisher&) = delete;
  EventPublisher& operator=(const EventPublisher&) = delete;

  // Open: true, endpoint unchanged. Closed: stores endpoint and opens.
  bool Bind(const std::string& endpoint);
  // Creates and binds the socket on the stored endpoint unless open.
  bool Open();
  void Close();
  // One message of exactly these bytes; opens first when closed.
  bool Send(const uint8_t* data, size_t length);
  // Sends the BSON document {"event": event, "params": params}. False (one
  // ERROR line) when params cannot be held by BSON.
  bool Emit(const std::string& event, nlohmann::json& params);

 private:
  bool OpenLocked();

  int _socket = -1;
  std::string _endpoint;
  std::mutex _mutex;
  // A bind that keeps failing (another process holds the endpoint) is
  // retried at every send: one line a minute per failure, not one per event.
  frame::LogThrottle _failureLog;
  void LogFailure(const std::string& key, const std::string& text);
};

}  // namespace VESK
