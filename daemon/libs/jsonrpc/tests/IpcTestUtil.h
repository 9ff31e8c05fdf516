#pragma once
// Raw nanomsg sockets standing in for the far side of a JSON-RPC exchange, so
// tests can send and answer texts that our own client and server never would.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pemrix::testing {

// A reply socket bound to url on its own thread; each request's text is
// recorded and answered with answer(text) (an empty answer is sent as a
// zero-byte message).
class RawReplier {
 public:
  RawReplier(const std::string& url, std::function<std::string(const std::string&)> answer);
  ~RawReplier();
  RawReplier(const RawReplier&) = delete;
  RawReplier& operator=(const RawReplier&) = delete;
  std::vector<std::string> Requests() const;

 private:
  void Loop();
  int _socket;
  std::function<std::string(const std::string&)> _answer;
  std::atomic<bool> _stop{false};
  mutable std::mutex _mutex;
  std::vector<std::string> _requests;
  std::thread _thread;
};

// Sends text on a fresh request socket and returns the reply text, or
// "<no reply>" after timeoutMs.
std::string RawRequest(const std::string& url, const std::string& text, int timeoutMs = 3000);

}  // namespace pemrix::testing
