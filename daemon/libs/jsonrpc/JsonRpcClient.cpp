#include "JsonRpcClient.h"

#include <easylogging++.h>
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>

#include <cerrno>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>

#include "BoundedJson.h"
#include "LogThrottle.h"
#include "NnMessage.h"

namespace VESK {

namespace {

// Shared by every client of the process: callers often make a fresh client
// per call, and a service that stays down fails each of them the same way.
frame::LogThrottle& FailureLog() {
  static frame::LogThrottle throttle;
  return throttle;
}

// Endpoints whose service failed its last exchange, shared for the same
// reason: its return is logged once, by whichever client sees it first.
class Unreachable {
 public:
  static void Mark(const std::string& url) {
    std::lock_guard<std::mutex> guard(Lock());
    Urls().insert(url);
  }
  static bool Is(const std::string& url) {
    std::lock_guard<std::mutex> guard(Lock());
    return Urls().count(url) > 0;
  }
  // True once when url was marked.
  static bool Clear(const std::string& url) {
    std::lock_guard<std::mutex> guard(Lock());
    return Urls().erase(url) > 0;
  }

 private:
  static std::mutex& Lock() {
    static std::mutex lock;
    return lock;
  }
  static std::set<std::string>& Urls() {
    static std::set<std::string> urls;
    return urls;
  }
};

}  // namespace

JsonRpcClient::JsonRpcClient(const std::string& url) : _url(url) {}

JsonRpcClient::~JsonRpcClient() { Close(); }

bool JsonRpcClient::OpenSocket(const std::string& url) {
  if (_socket >= 0) return true;
  _socket = nn_socket(AF_SP, NN_REQ);
  if (_socket < 0) {
    LOG(ERROR) << "'nn_socket' failed! " << nn_strerror(nn_errno());
    return false;
  }
  // Bounded waits: without them one dead local service would block the caller
  // for good. Setting these options on a fresh socket cannot fail.
  nn_setsockopt(_socket, NN_SOL_SOCKET, NN_SNDTIMEO, &_timeoutMs, sizeof(_timeoutMs));
  nn_setsockopt(_socket, NN_SOL_SOCKET, NN_RCVTIMEO, &_timeoutMs, sizeof(_timeoutMs));
  if (nn_connect(_socket, url.c_str()) < 0) {
    nn_close(_socket);
    _socket = -1;
    LOG(INFO) << "Can't connect to " << url;
    return false;
  }
  _url = url;  // the open socket is always connected to _url
  // nn_connect succeeds whether or not a service listens, so the line only
  // says where requests go; a client reopening after a failure stays quiet.
  if (!_announced && !Unreachable::Is(url)) LOG(INFO) << "Connect to " << url;
  _announced = true;
  return true;
}

void JsonRpcClient::SetTimeout(int milliseconds) {
  if (milliseconds < 1) {
    LOG(ERROR) << "JsonRpcClient time-out refused: " << milliseconds << " ms";
    return;
  }
  _timeoutMs = milliseconds;
  if (_socket >= 0) {
    nn_setsockopt(_socket, NN_SOL_SOCKET, NN_SNDTIMEO, &_timeoutMs, sizeof(_timeoutMs));
    nn_setsockopt(_socket, NN_SOL_SOCKET, NN_RCVTIMEO, &_timeoutMs, sizeof(_timeoutMs));
  }
}

void JsonRpcClient::Close() {
  if (_socket >= 0) {
    nn_close(_socket);
    _socket = -1;
  }
}

bool JsonRpcClient::TransportFailed(const char* label, const std::string& method) {
  const int err = nn_errno();
  Close();
  // A stop signal or the library's shutdown ends a waiting call: that is
  // the program stopping, not the service failing.
  if (err == EINTR || err == ETERM) return false;
  Unreachable::Mark(_url);
  std::string repeats;
  if (FailureLog().Allow(label + _url + " " + method, repeats))
    LOG(ERROR) << label << nn_strerror(err) << " (" << _url << ", " << method << "): service unreachable" << repeats;
  return false;
}

bool JsonRpcClient::Start(const std::string& method, const nlohmann::json& params) {
  if (_socket < 0 && !OpenSocket(_url)) return false;
  nlohmann::json request;
  request["id"] = ++_counter;
  request["jsonrpc"] = "2.0";
  request["method"] = method;
  request["params"] = params;
  _request = request.dump();
  _method = method;
  return true;
}

bool JsonRpcClient::Invoke(const std::string& method, const nlohmann::json& params, nlohmann::json& result) {
  if (!Start(method, params)) return false;
  // A new send on a request socket abandons the previous request, so a late
  // reply to a timed-out call is dropped by the socket; the id check in
  // Accept guards the same rule at our level.
  // A request that timed out must never reach a peer that binds the endpoint
  // later (a "Restart" firing minutes after the caller gave up): the socket
  // is closed on every failed send or receive, which discards whatever it
  // still queues. The next Invoke opens a fresh one.
  if (nn_send(_socket, _request.data(), _request.size(), 0) < 0) return TransportFailed("'nn_send' ", method);
  NnMessage message;
  const int n = nn_recv(_socket, message.Out(), NN_MSG, 0);
  if (n < 0) return TransportFailed("'nn_recv' failed! ", method);
  return Accept(message, n, method, _counter, result);
}

JsonRpcClient::Step JsonRpcClient::Send() {
  if (_socket < 0) return Step::Failed;
  if (nn_send(_socket, _request.data(), _request.size(), NN_DONTWAIT) >= 0) return Step::Done;
  if (nn_errno() == EAGAIN) return Step::Again;
  TransportFailed("'nn_send' ", _method);
  return Step::Failed;
}

JsonRpcClient::Step JsonRpcClient::Receive(nlohmann::json& result) {
  if (_socket < 0) return Step::Failed;
  NnMessage message;
  const int n = nn_recv(_socket, message.Out(), NN_MSG, NN_DONTWAIT);
  if (n < 0 && nn_errno() == EAGAIN) return Step::Again;
  if (n < 0) return TransportFailed("'nn_recv' failed! ", _method), Step::Failed;
  return Accept(message, n, _method, _counter, result) ? Step::Done : Step::Failed;
}

int JsonRpcClient::WaitFd(bool sending) const {
  int fd = -1;
  size_t size = sizeof fd;
  if (_socket < 0 || nn_getsockopt(_socket, NN_SOL_SOCKET, sending ? NN_SNDFD : NN_RCVFD, &fd, &size) < 0) return -1;
  return fd;
}

void JsonRpcClient::GiveUp(bool sending) {
  errno = ETIMEDOUT;  // what nn_errno reports
  TransportFailed(sending ? "'nn_send' " : "'nn_recv' failed! ", _method);
}

bool JsonRpcClient::Accept(const NnMessage& message, int n, const std::string& method, uint64_t id,
                           nlohmann::json& result) {
  if (n == 0) {
    LOG(ERROR) << "JSON-RPC empty reply (" << _url << ", " << method << ")";
    return false;
  }
  nlohmann::json response;
  std::string error;
  if (!frame::ParseBoundedJson(message.Data(), static_cast<size_t>(n), response, error)) {
    LOG(ERROR) << "JSON-RPC reply refused (" << _url << ", " << method << "): " << error;
    return false;
  }

  if (!response.is_object()) return false;
  auto version = response.find("jsonrpc");
  if (version == response.end() || !version->is_string() || *version != "2.0") return false;
  auto responseId = response.find("id");
  if (responseId == response.end() || !responseId->is_number_unsigned() || responseId->get<uint64_t>() != id)
    return false;

  if (response.contains("error")) {
    LOG(ERROR) << frame::LogExcerpt(frame::SafeDump(response), 1024);
    return false;
  }
  if (Unreachable::Clear(_url)) {
    FailureLog().Forget(std::string("'nn_send' ") + _url + " " + method);
    FailureLog().Forget(std::string("'nn_recv' failed! ") + _url + " " + method);
    LOG(INFO) << "JSON-RPC service at " << _url << " answers again";
  }
  auto value = response.find("result");
  result = value != response.end() ? *value : nlohmann::json();
  return true;
}

}  // namespace VESK
