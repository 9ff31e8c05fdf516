#include "IpcTestUtil.h"

#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>

#include <stdexcept>

namespace pemrix::testing {

RawReplier::RawReplier(const std::string& url, std::function<std::string(const std::string&)> answer)
    : _socket(nn_socket(AF_SP, NN_REP)), _answer(std::move(answer)) {
  const int poll = 50;
  nn_setsockopt(_socket, NN_SOL_SOCKET, NN_RCVTIMEO, &poll, sizeof(poll));
  if (nn_bind(_socket, url.c_str()) < 0) {
    nn_close(_socket);
    throw std::runtime_error("RawReplier cannot bind " + url);
  }
  _thread = std::thread(&RawReplier::Loop, this);
}

RawReplier::~RawReplier() {
  _stop = true;
  _thread.join();
  nn_close(_socket);
}

std::vector<std::string> RawReplier::Requests() const {
  std::lock_guard<std::mutex> guard(_mutex);
  return _requests;
}

void RawReplier::Loop() {
  while (!_stop) {
    char* data = nullptr;
    const int n = nn_recv(_socket, &data, NN_MSG, 0);
    if (n < 0) continue;
    std::string request(data, n);
    nn_freemsg(data);
    {
      std::lock_guard<std::mutex> guard(_mutex);
      _requests.push_back(request);
    }
    const std::string reply = _answer(request);
    nn_send(_socket, reply.data(), reply.size(), 0);
  }
}

std::string RawRequest(const std::string& url, const std::string& text, int timeoutMs) {
  const int s = nn_socket(AF_SP, NN_REQ);
  nn_setsockopt(s, NN_SOL_SOCKET, NN_RCVTIMEO, &timeoutMs, sizeof(timeoutMs));
  std::string reply = "<no reply>";
  char* data = nullptr;
  int n = -1;
  if (nn_connect(s, url.c_str()) >= 0 && nn_send(s, text.data(), text.size(), 0) >= 0 &&
      (n = nn_recv(s, &data, NN_MSG, 0)) >= 0) {
    reply.assign(data, n);
    nn_freemsg(data);
  }
  nn_close(s);
  return reply;
}

}  // namespace pemrix::testing
