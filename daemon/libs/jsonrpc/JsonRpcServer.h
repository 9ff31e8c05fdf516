#pragma once
// JSON-RPC 2.0 server on a nanomsg reply socket, dispatching to stubs.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <thread>

namespace VESK {

class NnMessage;

// A handler object, registered under its name. A method "O.M" reaches the
// stub named "O"; a method without "." reaches the stub named "". Stubs run
// on the server's loop thread, without the server's lock held.
class JsonRpcStub {
 public:
  explicit JsonRpcStub(const std::string& name = "");
  virtual ~JsonRpcStub();
  // A call (the request has an "id"): fill the complete response object
  // (jsonrpc, id, result or error). The base version leaves it untouched.
  virtual bool Invoke(nlohmann::json& request, nlohmann::json& response);
  // A notification (no "id"). The base version does nothing.
  virtual bool Invoke(nlohmann::json& request);
  const std::string& Name() const { return name; }

  std::string name;
};

// Binds lazily when its loop starts. One loop at a time: either the worker of
// Start, Run on the caller's thread, or repeated RunOnce calls.
class JsonRpcServer {
 public:
  JsonRpcServer();
  explicit JsonRpcServer(const std::string& url);
  // Stops a running loop (joins the worker) and closes the socket.
  ~JsonRpcServer();
  JsonRpcServer(const JsonRpcServer&) = delete;
  JsonRpcServer& operator=(const JsonRpcServer&) = delete;

  // Both take the stub lock; safe while the loop serves. A stub with the same
  // name is replaced.
  void Add(std::shared_ptr<JsonRpcStub> stub);
  void Remove(const std::string& name);

  bool OpenSocket();
  // Not while a loop runs on another thread: use Stop for that.
  void CloseSocket();

  // Starts the worker thread unless it exists.
  void Start();
  // Serves on the calling thread until Stop.
  void Run();
  // Answers at most one waiting request; never blocks on receive.
  void RunOnce();
  // The reply text to one received message, as the loop sends it. Never
  // throws: a message that is empty, not JSON or beyond the reader's limits
  // answers -32700; a call whose reply cannot be serialised (a stub put
  // bytes in it that are not UTF-8) answers -32603 with the call's id. Runs
  // the stubs on the calling thread.
  std::string HandleMessage(const char* data, size_t length);
  // Off (the default): every received message is logged at INFO with its
  // size. On: that line goes to DEBUG, for a service polled many times a
  // second. Set before the loop starts.
  void SetQuiet(bool quiet) { _quiet = quiet; }
  // Safe from any thread. Wakes the loop at once (it ends after the request
  // in progress), joins the worker and closes the socket. Called from inside
  // a stub it only sets the flag; the loop ends after that request. An idle
  // loop sleeps on the socket and never wakes on its own.
  void Stop();

 private:
  void DoWork();
  // Clears the stop flag and a wake-up left by an earlier Stop.
  void Rearm();
  // The next message, blocking until one comes or Stop; -1 with nn_errno
  // EINTR when woken without one.
  int Receive(NnMessage& message);
  void Serve(const char* data, size_t length);
  void RequestProcess(nlohmann::json& request, nlohmann::json& response);
  void RpcInvoke(nlohmann::json& request, nlohmann::json& response);

  std::mutex _lock;  // guards _stubs
  std::map<std::string, std::shared_ptr<JsonRpcStub>> _stubs;
  std::thread _worker;
  std::atomic<bool> _stop{true};
  std::atomic<int> _socket{-1};
  std::string _url;
  // Held by whichever loop (DoWork or RunOnce) uses the socket, so Stop can
  // wait for a Run on another thread before closing the socket under it.
  std::mutex _loopMutex;
  std::atomic<std::thread::id> _loopThread{};
  bool _quiet = false;
  int _wake = -1;  // eventfd that Stop writes
};

}  // namespace VESK
