#include "DaqTestPeer.h"

#include <nanomsg/nn.h>
#include <nanomsg/pubsub.h>
#include <nanomsg/reqrep.h>

#include <vector>

namespace pemrix::testing {

namespace {

// Closes the socket on every path.
struct Socket {
  explicit Socket(int protocol) : fd(nn_socket(AF_SP, protocol)) {}
  ~Socket() {
    if (fd >= 0) nn_close(fd);
  }
  int fd;
};

bool SetTimeouts(int fd, std::chrono::milliseconds timeout) {
  int ms = static_cast<int>(timeout.count());
  return nn_setsockopt(fd, NN_SOL_SOCKET, NN_SNDTIMEO, &ms, sizeof(ms)) == 0 &&
         nn_setsockopt(fd, NN_SOL_SOCKET, NN_RCVTIMEO, &ms, sizeof(ms)) == 0;
}

// One message, or an empty vector on time-out or error.
std::vector<uint8_t> Receive(int fd) {
  void* buffer = nullptr;
  int n = nn_recv(fd, &buffer, NN_MSG, 0);
  if (n < 0) return {};
  std::vector<uint8_t> bytes(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + n);
  nn_freemsg(buffer);
  return bytes;
}

}  // namespace

std::string RpcText(const std::string& url, const std::string& text, std::chrono::milliseconds timeout) {
  Socket s(NN_REQ);
  if (s.fd < 0 || !SetTimeouts(s.fd, timeout) || nn_connect(s.fd, url.c_str()) < 0) return "";
  if (nn_send(s.fd, text.data(), text.size(), 0) < 0) return "";
  auto bytes = Receive(s.fd);
  return std::string(bytes.begin(), bytes.end());
}

nlohmann::json RpcCall(const std::string& url, const std::string& method, const nlohmann::json& params,
                       std::chrono::milliseconds timeout) {
  const std::string text = nlohmann::json{{"jsonrpc", "2.0"}, {"id", 7}, {"method", method}, {"params", params}}.dump();
  auto response = nlohmann::json::parse(RpcText(url, text, timeout), nullptr, false);
  return response.is_discarded() ? nlohmann::json() : response;
}

EventSubscriber::EventSubscriber(const std::string& url) : _socket(nn_socket(AF_SP, NN_SUB)) {
  if (_socket < 0) return;
  nn_setsockopt(_socket, NN_SUB, NN_SUB_SUBSCRIBE, "", 0);
  nn_connect(_socket, url.c_str());
}

EventSubscriber::~EventSubscriber() {
  if (_socket >= 0) nn_close(_socket);
}

nlohmann::json EventSubscriber::Next(std::chrono::milliseconds timeout) {
  if (_socket < 0) return nullptr;
  int ms = static_cast<int>(timeout.count());
  nn_setsockopt(_socket, NN_SOL_SOCKET, NN_RCVTIMEO, &ms, sizeof(ms));
  auto bytes = Receive(_socket);
  if (bytes.empty()) return nullptr;
  try {
    return nlohmann::json::from_bson(bytes);
  } catch (const nlohmann::json::exception&) {
    return nullptr;
  }
}

}  // namespace pemrix::testing
