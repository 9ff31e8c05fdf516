#include "EventPublisher.h"

#include <easylogging++.h>
#include <nanomsg/nn.h>
#include <nanomsg/pubsub.h>

#include <nlohmann/json.hpp>
#include <vector>

namespace VESK {

EventPublisher::EventPublisher() = default;

EventPublisher::~EventPublisher() { Close(); }

bool EventPublisher::Bind(const std::string& endpoint) {
  std::lock_guard<std::mutex> guard(_mutex);
  if (_socket >= 0) return true;
  _endpoint = endpoint;
  return OpenLocked();
}

bool EventPublisher::Open() {
  std::lock_guard<std::mutex> guard(_mutex);
  return OpenLocked();
}

void EventPublisher::LogFailure(const std::string& key, const std::string& text) {
  std::string repeats;
  if (_failureLog.Allow(key, repeats)) LOG(ERROR) << text << repeats;
}

bool EventPublisher::OpenLocked() {
  if (_socket >= 0) return true;
  _socket = nn_socket(AF_SP, NN_PUB);
  if (_socket < 0) {
    LogFailure("socket", std::string("Event Publisher : nn_socket: ") + nn_strerror(nn_errno()));
    return false;
  }
  if (nn_bind(_socket, _endpoint.c_str()) < 0) {
    LogFailure("bind",
               std::string("Event Publisher : nn_bind: ") + nn_strerror(nn_errno()) + " endpoint = " + _endpoint);
    nn_close(_socket);
    _socket = -1;
    return false;
  }
  _failureLog.Clear();
  LOG(INFO) << "Event Publisher = " << _endpoint << ", FD = " << _socket;
  return true;
}

void EventPublisher::Close() {
  std::lock_guard<std::mutex> guard(_mutex);
  if (_socket < 0) return;
  nn_close(_socket);
  _socket = -1;
  LOG(INFO) << "Event Publisher : Close";
}

bool EventPublisher::Send(const uint8_t* data, size_t length) {
  std::lock_guard<std::mutex> guard(_mutex);
  if (_socket < 0 && !OpenLocked()) return false;
  const int n = nn_send(_socket, data, length, 0);
  if (n < 0) {
    LogFailure("send", std::string("Event Publisher : nn_send: ") + nn_strerror(nn_errno()));
    return false;
  }
  if (static_cast<size_t>(n) != length)
    LOG(ERROR) << "Event Publisher : nn_send length error: " << n << " != " << length;
  return true;
}

bool EventPublisher::Emit(const std::string& event, nlohmann::json& params) {
  // The object's keys are ordered, so "event" always precedes "params".
  const nlohmann::json document = {{"event", event}, {"params", params}};
  std::vector<uint8_t> bytes;
  try {
    bytes = nlohmann::json::to_bson(document);
  } catch (const nlohmann::json::exception& e) {
    LOG(ERROR) << "Event Publisher : BSON: " << e.what() << " event = " << event;
    return false;
  }
  return Send(bytes.data(), bytes.size());
}

}  // namespace VESK
