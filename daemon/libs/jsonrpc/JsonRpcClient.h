#pragma once
// Synchronous JSON-RPC 2.0 client over a nanomsg request socket.
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>

namespace VESK {

class NnMessage;

// One client per remote endpoint, owned by exactly one holder. It takes no
// lock: callers serialise calls on one object. The object owns its socket and
// closes it on destruction.
class JsonRpcClient {
 public:
  // Stores url; opens nothing (the first Invoke connects).
  explicit JsonRpcClient(const std::string& url);
  ~JsonRpcClient();
  JsonRpcClient(const JsonRpcClient&) = delete;
  JsonRpcClient& operator=(const JsonRpcClient&) = delete;

  // Opens and connects a request socket to url unless one is open already;
  // true when a socket is open afterwards. Never blocks (connects lazily).
  bool OpenSocket(const std::string& url);

  // One request/response exchange. Blocks at most the send time-out plus the
  // receive time-out. True when a well-formed response with this call's id and
  // without "error" arrived; result then holds its "result" (or null). A reply
  // to an earlier, timed-out call is never taken as this call's answer.
  bool Invoke(const std::string& method, const nlohmann::json& params, nlohmann::json& result);

  // The same exchange in steps that never block, for a caller that keeps
  // calls in flight on several clients at once and waits on their
  // descriptors (one call per client at a time). Start prepares the request;
  // Send then hands it to the socket, Receive takes the answer, each Again
  // until WaitFd polls readable (POLLIN). Failed is final for the call and,
  // as in Invoke, closes the socket on a transport failure; Done from
  // Receive means Invoke would have returned true, with result set.
  enum class Step { Done, Again, Failed };
  bool Start(const std::string& method, const nlohmann::json& params);
  Step Send();
  Step Receive(nlohmann::json& result);
  // Readable when Send (sending true) or Receive can make progress; -1
  // when no socket is open.
  int WaitFd(bool sending) const;
  // The call's time-out passed while sending or waiting for the answer:
  // the socket is closed and the failure logged as Invoke would.
  void GiveUp(bool sending);

  // Send and receive time-out in milliseconds (default 5000), applied to the
  // open socket at once and to every socket opened later. Values below 1 are
  // refused (logged): the client never waits forever.
  void SetTimeout(int milliseconds);

  // Closes the socket if open; the next Invoke reconnects. The request
  // counter keeps running, so ids stay unique per object.
  void Close();
  bool IsOpen() const { return _socket >= 0; }

 private:
  // Logs a failed send or receive (folded per endpoint and method; not when
  // a stop signal interrupted it), marks the endpoint unreachable until a
  // reply arrives, and closes the socket, dropping what it still queues;
  // always false.
  bool TransportFailed(const char* label, const std::string& method);
  // The well-formed answer to request id: its "result" into result.
  bool Accept(const NnMessage& message, int size, const std::string& method, uint64_t id, nlohmann::json& result);

  std::string _method, _request;  // the call between Start and its answer

  uint64_t _counter = 0;  // id of the last request sent
  int _socket = -1;
  std::string _url;
  int _timeoutMs = 5000;
  bool _announced = false;  // "Connect to" logged for this object
};

}  // namespace VESK
