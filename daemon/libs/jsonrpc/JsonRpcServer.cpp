#include "JsonRpcServer.h"

#include <easylogging++.h>
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>

#include "BoundedJson.h"
#include "NnMessage.h"

namespace VESK {

namespace {

// Closing a socket that another thread is blocked in is not safe with
// nanomsg, so Stop never does: the loop sleeps in poll on the socket's
// receive descriptor and an eventfd that Stop writes. Without either (an
// eventfd that could not be made), it wakes this often to look at the flag.
constexpr int kReceivePollMs = 100;
// A reply to a peer that stopped reading must not hold the loop for good.
constexpr int kSendTimeoutMs = 1000;

nlohmann::json ErrorResponse(int code, const char* message, const nlohmann::json& id) {
  return {{"jsonrpc", "2.0"}, {"error", {{"code", code}, {"message", message}}}, {"id", id}};
}

nlohmann::json InvalidRequest() { return ErrorResponse(-32600, "Invalid JSON-RPC request.", nullptr); }

nlohmann::json InternalError(const nlohmann::json& id) { return ErrorResponse(-32603, "Internal error.", id); }

// The id a reply to this request carries: null for a notification or
// anything that is not a call.
nlohmann::json IdOf(const nlohmann::json& request) {
  if (!request.is_object()) return nullptr;
  auto id = request.find("id");
  return id == request.end() ? nlohmann::json() : *id;
}

// Replaces a reply that cannot be serialised with an internal error for its
// call.
void SealReply(const nlohmann::json& request, nlohmann::json& response) {
  try {
    (void)response.dump();
  } catch (const nlohmann::json::type_error& e) {
    LOG(ERROR) << "Reply cannot be serialised! id " << frame::SafeDump(IdOf(request)) << " : " << e.what();
    response = InternalError(IdOf(request));
  }
}

// The reply text. Only a stub can have put text into the reply that is not
// UTF-8 (the reader refuses it in requests); then each call of a batch is
// checked on its own, so the others keep their answers.
std::string Serialise(const nlohmann::json& request, nlohmann::json& response) {
  try {
    return response.dump();
  } catch (const nlohmann::json::type_error&) {
  }
  if (request.is_array() && response.is_array()) {
    for (size_t i = 0; i < response.size() && i < request.size(); ++i) SealReply(request[i], response[i]);
  } else {
    SealReply(request, response);
  }
  // A stub may also have rewritten the id it was handed: never throw here.
  return frame::SafeDump(response);
}

}  // namespace

JsonRpcStub::JsonRpcStub(const std::string& name) : name(name) {}
JsonRpcStub::~JsonRpcStub() = default;
bool JsonRpcStub::Invoke(nlohmann::json&, nlohmann::json&) { return false; }
bool JsonRpcStub::Invoke(nlohmann::json&) { return false; }

JsonRpcServer::JsonRpcServer() : JsonRpcServer(std::string()) {}

JsonRpcServer::JsonRpcServer(const std::string& url) : _url(url), _wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  Add(std::make_shared<JsonRpcStub>());
}

JsonRpcServer::~JsonRpcServer() {
  Stop();
  std::lock_guard<std::mutex> guard(_lock);
  _stubs.clear();
  if (_wake >= 0) close(_wake);
}

void JsonRpcServer::Add(std::shared_ptr<JsonRpcStub> stub) {
  if (!stub) return;
  std::lock_guard<std::mutex> guard(_lock);
  _stubs[stub->Name()] = std::move(stub);
}

void JsonRpcServer::Remove(const std::string& name) {
  std::lock_guard<std::mutex> guard(_lock);
  _stubs.erase(name);
}

bool JsonRpcServer::OpenSocket() {
  if (_socket >= 0) return true;
  const int s = nn_socket(AF_SP, NN_REP);
  if (s < 0) {
    LOG(ERROR) << "'nn_socket' failed! " << nn_strerror(nn_errno());
    return false;
  }
  nn_setsockopt(s, NN_SOL_SOCKET, NN_RCVTIMEO, &kReceivePollMs, sizeof(kReceivePollMs));
  nn_setsockopt(s, NN_SOL_SOCKET, NN_SNDTIMEO, &kSendTimeoutMs, sizeof(kSendTimeoutMs));
  if (nn_bind(s, _url.c_str()) < 0) {
    LOG(ERROR) << "'nn_bind' failed! " << nn_strerror(nn_errno()) << ", URL = " << _url;
    nn_close(s);
    return false;
  }
  _socket = s;
  LOG(INFO) << "RPC Server Bind = " << _url << ", FD = " << s;
  return true;
}

void JsonRpcServer::CloseSocket() {
  const int s = _socket.exchange(-1);
  if (s >= 0) nn_close(s);
}

void JsonRpcServer::Start() {
  if (_worker.joinable()) return;
  Rearm();
  _worker = std::thread(&JsonRpcServer::DoWork, this);
}

void JsonRpcServer::Run() {
  Rearm();
  DoWork();
}

void JsonRpcServer::Rearm() {
  _stop = false;
  uint64_t count;
  if (_wake >= 0) (void)!read(_wake, &count, sizeof count);  // a wake-up left by an earlier Stop
}

int JsonRpcServer::Receive(NnMessage& message) {
  int rcvfd = -1;
  size_t size = sizeof rcvfd;
  if (_wake < 0 || nn_getsockopt(_socket, NN_SOL_SOCKET, NN_RCVFD, &rcvfd, &size) < 0)
    return nn_recv(_socket, message.Out(), NN_MSG, 0);  // wakes every kReceivePollMs
  pollfd fds[2] = {{rcvfd, POLLIN, 0}, {_wake, POLLIN, 0}};
  if (poll(fds, 2, -1) < 0 || !(fds[0].revents & POLLIN)) {
    errno = EINTR;  // what nn_errno reports
    return -1;
  }
  return nn_recv(_socket, message.Out(), NN_MSG, NN_DONTWAIT);
}

void JsonRpcServer::Stop() {
  _stop = true;
  const uint64_t one = 1;
  if (_wake >= 0) (void)!write(_wake, &one, sizeof one);
  // From inside a stub: the loop is this thread, so nothing can be joined or
  // waited for here; the loop leaves after the current request and the
  // owner's Stop (or the destructor) finishes the job.
  if (_loopThread.load() == std::this_thread::get_id()) return;
  if (_worker.joinable()) _worker.join();
  // Waits for a Run or RunOnce on another thread to leave the socket.
  std::lock_guard<std::mutex> loop(_loopMutex);
  CloseSocket();
}

void JsonRpcServer::DoWork() {
  std::unique_lock<std::mutex> loop(_loopMutex, std::try_to_lock);
  if (!loop.owns_lock()) {
    LOG(ERROR) << "Json RPC Server already running, URL = " << _url;
    return;
  }
  _loopThread = std::this_thread::get_id();
  LOG(INFO) << "Json RPC Server DoWork Starting!";
  if (OpenSocket()) {
    while (!_stop) {
      NnMessage message;
      const int n = Receive(message);
      if (n < 0) {
        const int err = nn_errno();
        if (err == ETIMEDOUT || err == EAGAIN || err == EINTR) continue;  // poll tick: look at the flag
        LOG(ERROR) << "'nn_recv' failed! " << nn_strerror(err);
        // The socket is gone (closed under us, or the library terminated):
        // nothing more will ever arrive, so retrying would only spin.
        if (err == EBADF || err == ETERM) break;
        continue;
      }
      // An empty message is answered too (-32700): its peer waits for a reply.
      if (n > 0 && !_quiet) LOG(INFO) << "'nn_recv' bytes = " << n;
      if (n > 0 && _quiet) LOG(DEBUG) << "'nn_recv' bytes = " << n;
      if (_stop) break;
      Serve(message.Data(), static_cast<size_t>(n));
    }
  }
  LOG(INFO) << "Json RPC Server DoWork Exit!";
  _loopThread = std::thread::id();
}

void JsonRpcServer::RunOnce() {
  std::unique_lock<std::mutex> loop(_loopMutex, std::try_to_lock);
  if (!loop.owns_lock()) return;  // a loop serves already
  if (!OpenSocket()) {
    LOG(INFO) << "Json RPC Server can't oepn!";
    return;
  }
  _loopThread = std::this_thread::get_id();
  NnMessage message;
  const int n = nn_recv(_socket, message.Out(), NN_MSG, NN_DONTWAIT);
  if (n < 0) {
    const int err = nn_errno();
    if (err != EAGAIN) LOG(ERROR) << "'nn_recv' failed! erron=" << err << " " << nn_strerror(err);
  } else {
    Serve(message.Data(), static_cast<size_t>(n));
  }
  _loopThread = std::thread::id();
}

// Answers one received message. Every request gets a reply: a reply socket
// that skips one would leave its peer waiting, and the loop goes on whatever a
// peer sends.
void JsonRpcServer::Serve(const char* data, size_t length) {
  try {
    const std::string text = HandleMessage(data, length);
    if (nn_send(_socket, text.data(), text.size(), 0) < 0) LOG(ERROR) << "'nn_send' " << nn_strerror(nn_errno());
  } catch (const std::exception& e) {  // out of memory: this request goes unanswered, the loop serves on
    LOG(ERROR) << "Json RPC Server request failed! " << e.what();
  }
}

std::string JsonRpcServer::HandleMessage(const char* data, size_t length) {
  static const std::string parseError = ErrorResponse(-32700, "Parse error.", nullptr).dump();
  if (length == 0) {
    LOG(ERROR) << "'nn_recv' bytes == 0";
    return parseError;
  }
  nlohmann::json request;
  std::string error;
  if (!frame::ParseBoundedJson(data, length, request, error)) {
    LOG(ERROR) << "Json RPC Server parse error! " << error << " : " << frame::LogExcerpt(data, length);
    return parseError;
  }
  try {
    nlohmann::json response;
    RequestProcess(request, response);
    return Serialise(request, response);
  } catch (const std::exception& e) {
    LOG(ERROR) << "Json RPC Server request failed! " << e.what();
    return InternalError(nullptr).dump();
  }
}

void JsonRpcServer::RequestProcess(nlohmann::json& request, nlohmann::json& response) {
  try {
    if (request.is_array()) {
      response = nlohmann::json::array();
      for (size_t i = 0; i < request.size(); ++i) {
        response.push_back(nullptr);
        RpcInvoke(request[i], response[i]);
      }
    } else {
      RpcInvoke(request, response);
    }
  } catch (const nlohmann::json::exception& e) {
    LOG(ERROR) << e.what();
  }
}

void JsonRpcServer::RpcInvoke(nlohmann::json& request, nlohmann::json& response) {
  const bool isObject = request.is_object();
  auto version = isObject ? request.find("jsonrpc") : request.end();
  if (!isObject || version == request.end() || !version->is_string() || *version != "2.0") {
    LOG(ERROR) << "key 'jsonrpc' error.";
    response = InvalidRequest();
    return;
  }
  auto id = request.find("id");
  const bool isCall = id != request.end();
  if (isCall && (id->is_object() || id->is_array())) {
    LOG(ERROR) << "key 'id' error.";
    response = InvalidRequest();
    return;
  }
  auto method = request.find("method");
  if (method == request.end() || !method->is_string()) {
    LOG(ERROR) << "key 'method' error.";
    response = InvalidRequest();
    return;
  }

  const std::string& name = method->get_ref<const std::string&>();
  const size_t dot = name.find('.');
  const std::string object = dot == std::string::npos ? std::string() : name.substr(0, dot);

  std::shared_ptr<JsonRpcStub> stub;
  {
    std::lock_guard<std::mutex> guard(_lock);
    auto found = _stubs.find(object);
    if (found != _stubs.end()) stub = found->second;
  }

  if (!stub) {
    response = {{"jsonrpc", "2.0"}, {"error", {{"code", -32601}, {"message", "'" + object + "' Object not found."}}}};
    if (isCall) response["id"] = *id;
    return;
  }

  // The request id is copied first: a stub may alter the request it is given.
  const nlohmann::json callId = isCall ? *id : nlohmann::json();
  try {
    if (isCall) {
      stub->Invoke(request, response);
    } else {
      stub->Invoke(request);
      response = nullptr;
    }
  } catch (const std::exception& e) {
    LOG(ERROR) << "Stub '" << object << "' failed: " << e.what();
    response = InternalError(callId);
  } catch (...) {
    LOG(ERROR) << "Stub '" << object << "' failed";
    response = InternalError(callId);
  }
}

}  // namespace VESK
