#include "plinth/UaTcpSession.h"

#include <easylogging++.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "ConfigReader.h"

namespace VESK::DAQ {

using namespace ua;

namespace {

constexpr uint32_t kMinBuffer = 8192;  // smallest buffer a peer may announce

std::string Hex(uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", code);
  return text;
}

int RemainingMs(UaTcpSession::Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - UaTcpSession::Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(std::min<long long>(left, std::numeric_limits<int>::max()));
}

// getaddrinfo may wait on a name server far past any deadline and cannot be
// interrupted, so a name (not an address) is looked up on a thread of its
// own; a lookup that outlives the deadline is abandoned and its thread frees
// the result when it finally returns.
int LookUp(const std::string& host, int port, UaTcpSession::Clock::time_point deadline, addrinfo** out) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  const std::string service = std::to_string(port);
  int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, out);
  if (rc != EAI_NONAME) return rc;
  struct Pending {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false, abandoned = false;
    int rc = EAI_AGAIN;
    addrinfo* list = nullptr;
  };
  auto pending = std::make_shared<Pending>();
  hints.ai_flags = AI_NUMERICSERV;
  try {
    std::thread([pending, host, service, hints] {
      addrinfo* list = nullptr;
      int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
      std::lock_guard<std::mutex> guard(pending->lock);
      if (pending->abandoned) {
        if (rc == 0) freeaddrinfo(list);
        return;
      }
      pending->rc = rc;
      pending->list = list;
      pending->finished = true;
      pending->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return EAI_SYSTEM;
  }
  std::unique_lock<std::mutex> guard(pending->lock);
  if (!pending->done.wait_until(guard, deadline, [&] { return pending->finished; })) {
    pending->abandoned = true;
    return EAI_AGAIN;
  }
  *out = pending->list;
  return pending->rc;
}

// Splits "opc.tcp://host:port/path"; the port defaults to 4840.
bool ParseEndpoint(const std::string& url, std::string& host, int& port) {
  const std::string scheme = "opc.tcp://";
  if (url.compare(0, scheme.size(), scheme) != 0) return false;
  std::string rest = url.substr(scheme.size());
  std::string authority = rest.substr(0, rest.find('/'));
  std::string portText;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    host = authority.substr(1, close - 1);
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') return false;
      portText = authority.substr(close + 2);
    }
  } else {
    size_t colon = authority.rfind(':');
    host = authority.substr(0, colon);
    if (colon != std::string::npos) portText = authority.substr(colon + 1);
  }
  port = 4840;
  if (!portText.empty()) {
    if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos) return false;
    port = std::stoi(portText);
  }
  return !host.empty() && port > 0 && port < 65536;
}

template <class T>
int64_t Clamp(int64_t v) {
  return std::min<int64_t>(std::max<int64_t>(v, std::numeric_limits<T>::min()), std::numeric_limits<T>::max());
}

int64_t ClampTo(uint8_t type, int64_t v) {
  switch (type) {
    case kBoolean:
      return v != 0;
    case kSByte:
      return Clamp<int8_t>(v);
    case kByte:
      return Clamp<uint8_t>(v);
    case kInt16:
      return Clamp<int16_t>(v);
    case kUInt16:
      return Clamp<uint16_t>(v);
    case kInt32:
      return Clamp<int32_t>(v);
    case kUInt32:
      return Clamp<uint32_t>(v);
    case kDateTime:
      return UnixMsToTicks(v);
    default:
      return v;
  }
}

bool ParseUInt64(const std::string& t, uint64_t& out) {
  if (t.empty() || t.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  out = std::strtoull(t.c_str(), nullptr, 10);
  return errno == 0;
}

// The node's value as a Variant of the node's own built-in type; one
// element (as a one-element array) when element is set. False for types we
// do not write.
bool ToVariant(const DataValueBase& value, uint8_t type, bool element, Variant& out) {
  if (value.IsNull()) return false;
  out = Variant();
  out.type = type;
  out.isArray = element || value.IsArray();
  bool ok = false;
  switch (type) {
    case kBoolean: {
      std::vector<bool> v;
      ok = value.GetBoolArray(v);
      for (bool b : v) out.ints.push_back(b);
      break;
    }
    case kSByte:
    case kByte:
    case kInt16:
    case kUInt16:
    case kInt32:
    case kUInt32:
    case kInt64:
    case kDateTime:
      ok = value.GetInt64Array(out.ints);
      for (auto& v : out.ints) v = ClampTo(type, v);
      break;
    case kUInt64: {
      // Through text, so values above the signed range stay exact.
      std::vector<std::string> text;
      std::vector<int64_t> ints;
      ok = value.GetStringArray(text) && value.GetInt64Array(ints) && text.size() == ints.size();
      for (size_t i = 0; ok && i < text.size(); ++i) {
        uint64_t u = 0;
        out.uints.push_back(ParseUInt64(text[i], u) ? u : static_cast<uint64_t>(std::max<int64_t>(ints[i], 0)));
      }
      break;
    }
    case kFloat:
    case kDouble:
      ok = value.GetDoubleArray(out.reals);
      break;
    case kString:
    case kByteString:
      ok = value.GetStringArray(out.texts);
      break;
    default:
      return false;
  }
  if (!ok || out.Size() == 0) return false;
  if (!out.isArray || element) {
    out.ints.resize(std::min<size_t>(out.ints.size(), 1));
    out.uints.resize(std::min<size_t>(out.uints.size(), 1));
    out.reals.resize(std::min<size_t>(out.reals.size(), 1));
    out.texts.resize(std::min<size_t>(out.texts.size(), 1));
  }
  return true;
}

// Stores a read Variant into the caller's value object, converting to its
// type. False (value untouched) for types we do not read.
bool Store(const Variant& v, DataValueBase& target) {
  if (!v.Supported() || v.type == kNull || (!v.isArray && v.Size() != 1)) return false;
  switch (v.type) {
    case kBoolean: {
      std::vector<bool> b(v.ints.begin(), v.ints.end());
      return v.isArray ? target.SetBoolArray(b) : target.SetBool(b[0]);
    }
    case kFloat:
    case kDouble:
      return v.isArray ? target.SetDoubleArray(v.reals) : target.SetDouble(v.reals[0]);
    case kString:
    case kByteString:
      return v.isArray ? target.SetStringArray(v.texts) : target.SetString(v.texts[0]);
    case kUInt64: {
      bool fits = std::all_of(v.uints.begin(), v.uints.end(),
                              [](uint64_t u) { return u <= uint64_t(std::numeric_limits<int64_t>::max()); });
      if (fits) {
        std::vector<int64_t> i(v.uints.begin(), v.uints.end());
        return v.isArray ? target.SetInt64Array(i) : target.SetInt64(i[0]);
      }
      std::vector<std::string> t;
      for (uint64_t u : v.uints) t.push_back(std::to_string(u));
      return v.isArray ? target.SetStringArray(t) : target.SetString(t[0]);
    }
    case kDateTime: {
      std::vector<int64_t> ms;
      for (int64_t t : v.ints) ms.push_back(TicksToUnixMs(t));
      return v.isArray ? target.SetInt64Array(ms) : target.SetInt64(ms[0]);
    }
    default:  // the integers and StatusCode
      return v.isArray ? target.SetInt64Array(v.ints) : target.SetInt64(v.ints[0]);
  }
}

// Whether a built-in type carries the kind of data a declared type holds:
// numbers convert among themselves (into a floating type from any number),
// text, truth values and times only from their own kind.
bool KindFits(uint8_t builtIn, DataType declared) {
  bool integer = (builtIn >= kSByte && builtIn <= kUInt64) || builtIn == kStatusCode;
  switch (FamilyOf(declared)) {
    case ValueFamily::Bool:
      return builtIn == kBoolean;
    case ValueFamily::Int64:
      return integer;
    case ValueFamily::Double:
      return integer || builtIn == kFloat || builtIn == kDouble;
    case ValueFamily::String:
      return builtIn == kString || builtIn == kByteString;
    default:
      return declared == DT_DATETIME && builtIn == kDateTime;
  }
}

std::string Shape(bool isArray, size_t size) {
  return isArray ? "an array of " + std::to_string(size) : std::string("a scalar");
}

// Why an answer does not fit the value the profile declared (empty: it fits).
std::string Mismatch(const Variant& v, const DataValueBase& declared) {
  size_t size = v.skipped ? v.skipped : v.Size();
  size_t want = declared.IsArray() ? static_cast<size_t>(std::max(declared.GetArraySize(), 0)) : 1;
  if (v.isArray != declared.IsArray() || (v.isArray && size != want))
    return Shape(v.isArray, size) + " where the profile declares " + Shape(declared.IsArray(), want);
  if (!KindFits(v.type, declared.GetType()))
    return "built-in type " + std::to_string(v.type) + " where the profile declares " +
           DataTypeName(declared.GetType());
  return "";
}

std::string IndexRange(const std::vector<int>& indices) {
  std::string out;
  for (int i : indices) out += (out.empty() ? "" : ",") + std::to_string(i);
  return out;
}

}  // namespace

// ---- socket ----------------------------------------------------------------

class UaTcpSession::Socket {
 public:
  ~Socket() {
    if (_fd >= 0) ::close(_fd);
  }

  bool Connect(const std::string& host, int port, Clock::time_point deadline, std::string& why) {
    addrinfo* list = nullptr;
    int rc = LookUp(host, port, deadline, &list);
    if (rc != 0) {
      why = std::string("cannot resolve host : ") + (rc == EAI_AGAIN ? "no answer in time" : gai_strerror(rc));
      return false;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(list, freeaddrinfo);
    for (addrinfo* a = list; a; a = a->ai_next) {
      if (_fd >= 0) ::close(_fd);
      _fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
      if (_fd < 0) continue;
      int one = 1;
      setsockopt(_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      if (::connect(_fd, a->ai_addr, a->ai_addrlen) == 0) return true;
      if (errno != EINPROGRESS) {
        why = std::string("connect : ") + std::strerror(errno);
        continue;
      }
      if (!Wait(POLLOUT, deadline)) {
        why = "connect : time-out";
        continue;
      }
      int error = 0;
      socklen_t len = sizeof error;
      getsockopt(_fd, SOL_SOCKET, SO_ERROR, &error, &len);
      if (error == 0) return true;
      why = std::string("connect : ") + std::strerror(error);
    }
    return false;
  }

  // Send and Receive check the deadline on every turn: a peer that keeps
  // the socket ready (a flood, a trickle) cannot stretch them past it.
  bool Send(const uint8_t* data, size_t size, Clock::time_point deadline, std::string& why) {
    while (size > 0) {
      if (Clock::now() >= deadline) {
        why = "send : time-out";
        return false;
      }
      ssize_t n = ::send(_fd, data, size, MSG_NOSIGNAL);
      if (n > 0) {
        data += n;
        size -= static_cast<size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        if (!Wait(POLLOUT, deadline)) {
          why = "send : time-out";
          return false;
        }
      } else {
        why = std::string("send : ") + std::strerror(errno);
        return false;
      }
    }
    return true;
  }

  bool Receive(uint8_t* data, size_t size, Clock::time_point deadline, std::string& why) {
    while (size > 0) {
      if (Clock::now() >= deadline) {
        why = "no answer within the request time-out";
        return false;
      }
      ssize_t n = ::recv(_fd, data, size, 0);
      if (n > 0) {
        data += n;
        size -= static_cast<size_t>(n);
      } else if (n == 0) {
        why = "connection closed by the server";
        return false;
      } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        if (!Wait(POLLIN, deadline)) {
          why = "no answer within the request time-out";
          return false;
        }
      } else {
        why = std::string("receive : ") + std::strerror(errno);
        return false;
      }
    }
    return true;
  }

  // False once the peer closed the connection or sent something unasked
  // (an error message before closing); never blocks.
  bool Alive() {
    pollfd p{_fd, POLLIN, 0};
    if (::poll(&p, 1, 0) == 0) return true;
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
    char c;
    ssize_t n = ::recv(_fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }

 private:
  bool Wait(short events, Clock::time_point deadline) {
    for (;;) {
      pollfd p{_fd, events, 0};
      int rc = ::poll(&p, 1, RemainingMs(deadline));
      if (rc > 0) return true;
      if (rc == 0 || errno != EINTR) return false;
    }
  }
  int _fd = -1;
};

// ---- per-node state ----------------------------------------------------------

// Plain data, stamped with the session generation it was resolved in. An
// entry is never freed while the session lives (callers may hold it across
// an exchange that reconnects); a stale one is resolved afresh on its next
// use and refused by a write that began before the reconnect.
struct UaTcpSession::Entry {
  enum State { Ready, Path, Invalid };
  uint64_t generation = 0;
  std::string label;  // "<ns>:<identifier>" as the profile wrote it
  State state = Ready;
  NodeId id;
  BrowsePath path;
  uint8_t type = kNull;  // built-in type of the last value read
  bool isArray = false;
  std::vector<uint32_t> reported;               // causes logged in this episode of failures
  UaTcpSession::Clock::time_point goodSince{};  // first good read after a failure
};

// ---- settings ------------------------------------------------------------------

namespace {

std::string InFolder(const std::string& baseDir, const std::string& path) {
  return path.empty() || path[0] == '/' || baseDir.empty() ? path : baseDir + "/" + path;
}

// The first line of a password file; a file others may read gets a WARNING.
bool ReadPassword(const std::string& path, std::string& out, std::string& why) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 4096) {
    why = fd < 0 ? std::strerror(errno) : "not a regular file of at most 4 KiB";
    if (fd >= 0) ::close(fd);
    return false;
  }
  std::string text(static_cast<size_t>(st.st_size), '\0');
  ssize_t n = ::read(fd, text.data(), text.size());
  ::close(fd);
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  out = text.substr(0, text.find_first_of("\r\n"));
  if (st.st_mode & 077)
    LOG(WARNING) << "OPC UA channel settings : password_file " << path << " can be read by others than its owner";
  return true;
}

}  // namespace

bool UaTcpSession::Settings::FromJson(const nlohmann::json& settings, Settings& out, const std::string& baseDir) {
  frame::ConfigReader reader("OPC UA channel settings", settings);
  frame::ConfigNode root = reader.Root();
  std::string path;
  int request = static_cast<int>(out.requestTimeout.count());
  int session = static_cast<int>(out.sessionTimeout.count());
  int lifetime = static_cast<int>(out.channelLifetime.count());
  root.Read("endpoint", out.endpoint, frame::Need::Required);
  root.Read("path", path);
  root.Read("request_timeout_ms", request, frame::IntRange{10, 600000});
  root.Read("session_timeout_ms", session, frame::IntRange{1000, 86400000});
  root.Read("channel_lifetime_ms", lifetime, frame::IntRange{1000, 86400000});
  root.OneOf("security_mode", out.securityMode, {"None", "Sign", "SignAndEncrypt", "best"});
  root.OneOf("security_policy", out.securityPolicy, {"None", "Basic256Sha256", "Aes128_Sha256_RsaOaep", "best"});
  std::string passwordFile;
  root.Read("user", out.user);
  root.Read("password_file", passwordFile, out.user.empty() ? frame::Need::Optional : frame::Need::Required);
  frame::Need secured = out.Secured() ? frame::Need::Required : frame::Need::Optional;
  root.Read("certificate", out.certificate, secured);
  root.Read("private_key", out.privateKey, secured);
  root.Read("trusted", out.trusted, secured);
  root.Read("application_uri", out.applicationUri);
  if (root.Valid() && out.Secured())
    root.Check("security_policy", out.securityPolicy != "None",
               "a secured policy (or best) with security_mode " + out.securityMode);
  std::string why;
  if (root.Valid() && !passwordFile.empty()) {
    bool read = ReadPassword(InFolder(baseDir, passwordFile), out.password, why);
    root.Check("password_file", read, "a readable file holding the password (" + why + ")");
  }
  std::string host;
  int port = 0;
  if (root.Valid() && !out.endpoint.empty())
    root.Check("endpoint", ParseEndpoint(out.endpoint, host, port), "an opc.tcp://host[:port][/path] address");
  root.Done();
  if (!path.empty()) out.endpoint += (path[0] == '/' ? "" : "/") + path;
  out.requestTimeout = ms(request);
  out.sessionTimeout = ms(session);
  out.channelLifetime = ms(lifetime);
  for (std::string* path : {&out.certificate, &out.privateKey, &out.trusted}) *path = InFolder(baseDir, *path);
  return reader.Errors() == 0;
}

// ---- connection ------------------------------------------------------------------

UaTcpSession::UaTcpSession(Settings settings) : _settings(std::move(settings)) {
  _url = _settings.endpoint;
  ParseEndpoint(_url, _host, _port);
}

UaTcpSession::~UaTcpSession() { Close(); }

bool UaTcpSession::Reconnect() {
  if (_connected) return true;
  if (Clock::now() < _nextAttempt) return false;
  if (Open()) return true;
  _nextAttempt = Clock::now() + _backoff;
  _backoff = std::min(_backoff * 2, kReconnectMax);
  return false;
}

void UaTcpSession::Revive() {
  if (!_connected) return;
  auto idle = Clock::now() - _lastExchange;
  if (idle < kIdleCheck) return;
  if (idle < _sessionTimeout * 9 / 10 && idle < _lifetime && _socket->Alive()) return;
  LOG(INFO) << "OPC UA channel " << _url << " : reopened after "
            << std::chrono::duration_cast<std::chrono::seconds>(idle).count() << " s idle";
  _connected = false;
  _nextAttempt = Clock::time_point();
  Reconnect();
}

bool UaTcpSession::Open() {
  ++_generation;  // a restarted server may have changed its nodes
  _maxRead = _maxWrite = 0;
  // Endpoints first, on a plain channel; a secured endpoint then gets a
  // connection of its own.
  auto fresh = [this] {
    _socket.reset();
    _connected = false;
    _channel = ChannelState::Closed;
    _session = SessionState::None;
    _sequence = _requestId = _handle = _channelId = _tokenId = _previousToken = _serverSequence = 0;
    _authToken = NodeId();
  };
  fresh();
  _security.Configure(PolicyNone(), SecurityMode::None, nullptr, nullptr);
  if (!Handshake(_host, _port) || !OpenChannel(false) || !Discover()) return false;
  if (_security.Secured()) {
    fresh();
    if (!Handshake(_host, _port) || !OpenChannel(false)) return false;
  }
  if (!CreateAndActivate()) return false;
  _connected = true;
  _connectedAt = Clock::now();
  ReadLimits();
  if (!_connected) return false;
  if (!_connectLogged)
    LOG(INFO) << "OPC UA channel connected : " << _url << " (read limit " << _maxRead << ", write limit " << _maxWrite
              << ")";
  _connectLogged = true;
  return true;
}

void UaTcpSession::Drop(const std::string& why) {
  if (_connected) {
    // A connection that stayed up ends the episode; one lost soon after
    // opening continues it, on the growing back-off and without new lines.
    if (Clock::now() - _connectedAt >= kStable) {
      _backoff = kReconnectMin;
      _nextAttempt = Clock::time_point();
      _outageLogged = _connectLogged = false;
      _refusals.clear();
    } else {
      _nextAttempt = Clock::now() + _backoff;
      _backoff = std::min(_backoff * 2, kReconnectMax);
    }
  }
  // Once per outage and cause, not once per attempt.
  if (!_outageLogged || why != _lastFailure) LOG(ERROR) << "OPC UA channel " << _url << " down : " << why;
  _outageLogged = true;
  _lastFailure = why;
  _socket.reset();
  _connected = false;
  _channel = ChannelState::Closed;
  _session = SessionState::None;
}

void UaTcpSession::Close() {
  if (_connected) {
    // Leave politely, but never wait long for a server that is going away.
    ms saved = _settings.requestTimeout;
    _settings.requestTimeout = std::min(saved, ms(1000));
    Response r;
    if (Exchange(EncodeCloseSession(NextHeader()), r, 0)) {
      auto deadline = Clock::now() + _settings.requestTimeout;
      SendChunks("CLO", EncodeCloseSecureChannel(NextHeader()), ++_requestId, deadline);
    }
    _settings.requestTimeout = saved;
  }
  _socket.reset();
  _connected = false;
  _channel = ChannelState::Closed;
  _session = SessionState::None;
}

bool UaTcpSession::Handshake(const std::string& host, int port) {
  auto deadline = Clock::now() + _settings.requestTimeout;
  _socket = std::make_unique<Socket>();
  std::string why;
  if (!_socket->Connect(host, port, deadline, why)) {
    Drop(why);
    return false;
  }
  TransportLimits ours;
  ours.receiveBufferSize = ours.sendBufferSize = kReceiveBufferSize;
  ours.maxMessageSize = kMaxMessageSize;
  ours.maxChunkCount = kMaxChunks;
  auto hello = EncodeHello(ours, _url);
  uint8_t head[kChunkHeaderSize];
  if (!_socket->Send(hello.data(), hello.size(), deadline, why) ||
      !_socket->Receive(head, sizeof head, deadline, why)) {
    Drop(why);
    return false;
  }
  ChunkHeader h = ParseChunkHeader(head, sizeof head);
  if (h.size < kChunkHeaderSize || h.size > kMinBuffer) {
    Drop("acknowledge of " + std::to_string(h.size) + " bytes");
    return false;
  }
  std::vector<uint8_t> body(h.size - kChunkHeaderSize);
  if (!_socket->Receive(body.data(), body.size(), deadline, why)) {
    Drop(why);
    return false;
  }
  try {
    if (std::memcmp(h.type, "ERR", 3) == 0) {
      auto error = DecodeErrorMessage(body.data(), body.size());
      Drop("server refused the connection : " + Hex(error.first) + " " + error.second);
      return false;
    }
    if (std::memcmp(h.type, "ACK", 3) != 0) {
      Drop("server answered hello with something else than acknowledge");
      return false;
    }
    _peer = DecodeAcknowledge(body.data(), body.size());
  } catch (const DecodeError& e) {
    Drop(std::string("bad acknowledge : ") + e.what());
    return false;
  }
  if (_peer.receiveBufferSize < kMinBuffer) {
    Drop("server receive buffer too small : " + std::to_string(_peer.receiveBufferSize));
    return false;
  }
  _channel = ChannelState::HelloSent;
  return true;
}

bool UaTcpSession::OpenChannel(bool renew) {
  RequestHeader header = NextHeader();
  header.authenticationToken = NodeId();
  _channel = renew ? ChannelState::Renewing : ChannelState::HelloSent;
  Bytes nonce = RandomBytes(_security.Policy().nonceLength);
  Response r;
  if (!Exchange(EncodeOpenSecureChannel(header, renew, static_cast<int32_t>(_security.Mode()),
                                        std::string(nonce.begin(), nonce.end()),
                                        static_cast<uint32_t>(_settings.channelLifetime.count())),
                r, 0, "OPN"))
    return false;
  if (r.typeId != msgid::kOpenSecureChannelResponse || status::IsBad(r.serviceResult)) {
    Drop(Refusal(r.serviceResult, "secure channel refused"));
    return false;
  }
  if (r.serverNonce.size() != nonce.size()) {
    Drop("secure channel answered with a nonce of " + std::to_string(r.serverNonce.size()) + " bytes");
    return false;
  }
  _security.InstallToken(r.tokenId, nonce, Bytes(r.serverNonce.begin(), r.serverNonce.end()));
  _channel = ChannelState::Open;
  if (!renew) _channelId = r.channelId;
  _previousToken = renew ? _tokenId : r.tokenId;
  _tokenId = r.tokenId;
  _lifetime = ms(r.revisedLifetimeMs ? r.revisedLifetimeMs : _settings.channelLifetime.count());
  // Renew at three quarters of the lifetime, as the token's owner should.
  _renewAt = Clock::now() + _lifetime * 3 / 4;
  return true;
}

bool UaTcpSession::Discover() {
  Response r;
  if (!Exchange(EncodeGetEndpoints(NextHeader(), _url), r, 0)) return false;
  if (r.typeId != msgid::kGetEndpointsResponse || status::IsBad(r.serviceResult)) {
    Drop("endpoints refused : " + Hex(r.serviceResult));
    return false;
  }
  const EndpointDescription* chosen = ChooseEndpoint(r.endpoints);
  if (!chosen) return false;
  _endpoint = *chosen;
  bool secured = _endpoint.securityMode != static_cast<int32_t>(SecurityMode::None);
  bool userSecret = !_settings.user.empty();  // the password is encrypted for the server's certificate
  if ((secured || userSecret) && !TrustServer(_endpoint)) return false;
  if (!secured) return true;
  if (!_identity) {
    auto identity = std::make_unique<Identity>();
    std::string why;
    if (!LoadOrCreateIdentity(_settings.certificate, _settings.privateKey, _settings.applicationUri, *identity, why)) {
      Drop("own certificate unusable : " + why);
      return false;
    }
    _identity = std::move(identity);
  }
  _security.Configure(*FindPolicy(_endpoint.securityPolicyUri), static_cast<SecurityMode>(_endpoint.securityMode),
                      _identity->privateKey, _serverCertificate.key);
  _credentials = {_identity->certificate.der, Sha1(_serverCertificate.der)};
  return true;
}

const EndpointDescription* UaTcpSession::ChooseEndpoint(const std::vector<EndpointDescription>& offered) {
  const std::string& mode = _settings.securityMode;
  const std::string& policy = _settings.securityPolicy;
  const EndpointDescription* best = nullptr;
  std::string offers;
  for (const auto& e : offered) {
    const SecurityPolicy* p = FindPolicy(e.securityPolicyUri);
    const char* modeName = ModeName(static_cast<SecurityMode>(e.securityMode));
    offers += std::string(offers.empty() ? "" : ", ") + (p ? p->name : e.securityPolicyUri) + " " + modeName;
    if (!p || (mode != "best" && mode != modeName) || (policy != "best" && policy != p->name)) continue;
    if (mode == "best" && !p->Secured() && _settings.Secured()) continue;
    auto rank = [](const EndpointDescription& d) { return std::make_pair(d.securityLevel, d.securityMode); };
    if (!best || rank(e) > rank(*best)) best = &e;
  }
  if (!best)
    Drop("the server offers no endpoint with security " + mode + (mode == "None" ? "" : " " + policy) + " (it offers " +
         (offers.empty() ? "none" : offers) + ")");
  return best;
}

bool UaTcpSession::TrustServer(const EndpointDescription& endpoint) {
  std::string why;
  Bytes der(endpoint.serverCertificate.begin(), endpoint.serverCertificate.end());
  if (!Certificate::FromDer(der, _serverCertificate, why)) {
    Drop("server certificate unusable : " + why);
    return false;
  }
  if (TrustedIn(_settings.trusted, _serverCertificate.der)) return true;
  // Kept for the operator to check and move into the trusted folder.
  std::string rejected = _settings.trusted + ".rejected";
  std::string file = rejected + "/" + _serverCertificate.Thumbprint() + ".der";
  ::mkdir(rejected.c_str(), 0755);
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  bool saved = fd >= 0 && ::write(fd, der.data(), der.size()) == static_cast<ssize_t>(der.size());
  if (fd >= 0) ::close(fd);
  Drop("server certificate untrusted : subject '" + _serverCertificate.subject + "' thumbprint " +
       _serverCertificate.Thumbprint() + " ; to trust it, put it into " + _settings.trusted +
       (saved ? " (saved as " + file + ")" : ""));
  return false;
}

bool UaTcpSession::MakeIdentityToken(const std::string& serverNonce, ua::IdentityToken& out) {
  bool wantUser = !_settings.user.empty();
  auto type = wantUser ? UserTokenPolicy::UserName : UserTokenPolicy::Anonymous;
  auto it = std::find_if(_endpoint.tokens.begin(), _endpoint.tokens.end(),
                         [&](const UserTokenPolicy& t) { return t.tokenType == type; });
  if (it == _endpoint.tokens.end()) {
    Drop(std::string("the server offers no ") + (wantUser ? "user name" : "anonymous") + " login on " +
         _security.Policy().name + " " + ModeName(_security.Mode()) +
         (wantUser ? "" : " (set user and password_file)"));
    return false;
  }
  out.policyId = it->policyId;
  out.userName = wantUser;
  if (!wantUser) return true;
  out.user = _settings.user;
  const SecurityPolicy* policy =
      it->securityPolicyUri.empty() ? &_security.Policy() : FindPolicy(it->securityPolicyUri);
  if (!policy) {
    Drop("the server wants the password encrypted under " + it->securityPolicyUri + ", which we do not speak");
    return false;
  }
  if (!policy->Secured()) {
    if (_security.Mode() != SecurityMode::SignAndEncrypt) {
      Drop("the server would take the password in the clear; refused (use security_mode SignAndEncrypt)");
      return false;
    }
    out.secret = _settings.password;
    return true;
  }
  Bytes secret = EncryptUserSecret(_serverCertificate.key.get(), _settings.password,
                                   Bytes(serverNonce.begin(), serverNonce.end()));
  out.secret.assign(secret.begin(), secret.end());
  out.encryptionAlgorithm = policy->encryptionAlgorithm;
  return true;
}

bool UaTcpSession::CreateAndActivate() {
  bool secured = _security.Secured();
  Bytes nonce = RandomBytes(32);
  SessionRequest request;
  request.endpointUrl = _url;
  request.sessionName = "pemrix-gateway";
  request.applicationUri = _identity && !_identity->certificate.applicationUri.empty()
                               ? _identity->certificate.applicationUri
                               : _settings.applicationUri;
  request.clientNonce.assign(nonce.begin(), nonce.end());
  if (secured) request.clientCertificate.assign(_identity->certificate.der.begin(), _identity->certificate.der.end());
  request.timeoutMs = static_cast<double>(_settings.sessionTimeout.count());
  request.maxResponseSize = kMaxMessageSize;
  Response r;
  if (!Exchange(EncodeCreateSession(NextHeader(), request), r, 0)) return false;
  if (r.typeId != msgid::kCreateSessionResponse || status::IsBad(r.serviceResult)) {
    Drop("session refused : " + Hex(r.serviceResult));
    return false;
  }
  if (secured) {
    // The server proves it holds the key of the certificate we trusted.
    Bytes signedData = _identity->certificate.der;
    signedData.insert(signedData.end(), nonce.begin(), nonce.end());
    const auto& sig = r.serverSignature.signature;
    if (r.serverCertificate.compare(0, _serverCertificate.der.size(),
                                    std::string(_serverCertificate.der.begin(), _serverCertificate.der.end())) != 0 ||
        !VerifyRsa(_serverCertificate.key.get(), signedData, Bytes(sig.begin(), sig.end()))) {
      Drop("server signature on the session invalid");
      return false;
    }
  }
  _session = SessionState::Created;
  _authToken = r.authenticationToken;
  _sessionTimeout = r.revisedSessionTimeoutMs >= 1 && r.revisedSessionTimeoutMs < 86400000.0
                        ? ms(static_cast<long long>(r.revisedSessionTimeoutMs))
                        : _settings.sessionTimeout;
  ua::IdentityToken token;
  SignatureData ours;
  try {
    if (!MakeIdentityToken(r.serverNonce, token)) return false;
    if (secured) {
      Bytes data(r.serverCertificate.begin(), r.serverCertificate.end());
      data.insert(data.end(), r.serverNonce.begin(), r.serverNonce.end());
      Bytes sig = SignRsa(_identity->privateKey.get(), data);
      ours = {_security.Policy().signatureAlgorithm, std::string(sig.begin(), sig.end())};
    }
  } catch (const DecodeError& e) {
    Drop(std::string("cannot sign or encrypt for the session : ") + e.what());
    return false;
  }
  Response a;
  if (!Exchange(EncodeActivateSession(NextHeader(), ours, token), a, 0)) return false;
  if (a.typeId != msgid::kActivateSessionResponse || status::IsBad(a.serviceResult)) {
    bool login = a.serviceResult == status::kBadUserAccessDenied ||
                 a.serviceResult == status::kBadIdentityTokenInvalid ||
                 a.serviceResult == status::kBadIdentityTokenRejected;
    Drop(login && token.userName ? "user '" + _settings.user + "' or its password refused : " + Hex(a.serviceResult)
                                 : "session activation refused : " + Hex(a.serviceResult));
    return false;
  }
  _session = SessionState::Activated;
  return true;
}

void UaTcpSession::ReadLimits() {
  std::vector<DataValue> values;
  if (!ReadValues({NodeId::Num(0, nodes::kMaxNodesPerRead), NodeId::Num(0, nodes::kMaxNodesPerWrite)}, values)) return;
  uint32_t* limits[] = {&_maxRead, &_maxWrite};
  for (size_t i = 0; i < values.size() && i < 2; ++i) {
    const Variant& v = values[i].value;
    if (!status::IsBad(values[i].status) && !v.isArray && v.ints.size() == 1 && v.ints[0] > 0)
      *limits[i] = static_cast<uint32_t>(std::min<int64_t>(v.ints[0], std::numeric_limits<uint32_t>::max()));
  }
}

RequestHeader UaTcpSession::NextHeader() {
  RequestHeader h;
  h.authenticationToken = _authToken;
  h.requestHandle = ++_handle;
  h.timeoutHintMs = static_cast<uint32_t>(_settings.requestTimeout.count());
  auto now = std::chrono::system_clock::now().time_since_epoch();
  h.timestampTicks = UnixMsToTicks(std::chrono::duration_cast<ms>(now).count());
  return h;
}

bool UaTcpSession::RenewIfDue() {
  if (Clock::now() < _renewAt) return true;
  return OpenChannel(true);
}

bool UaTcpSession::SessionLost(uint32_t serviceResult) {
  switch (serviceResult) {
    case status::kBadSessionIdInvalid:
    case status::kBadSessionClosed:
    case status::kBadSessionNotActivated:
    case status::kBadSecureChannelIdInvalid:
    case status::kBadSecureChannelTokenUnknown:
    case status::kBadConnectionClosed:
      Drop("the server ended the session : " + Hex(serviceResult));
      return true;
    default:
      return false;
  }
}

// ---- messages ---------------------------------------------------------------------

bool UaTcpSession::Exchange(std::vector<uint8_t> body, Response& out, size_t maxResults, const char* type,
                            const std::vector<size_t>* elementCaps) {
  if (!_socket) return false;
  bool open = std::strcmp(type, "OPN") == 0;
  if (!open && !RenewIfDue()) return false;
  uint32_t requestId = ++_requestId;
  auto deadline = Clock::now() + _settings.requestTimeout;
  std::vector<uint8_t> reply;
  if (!SendChunks(type, body, requestId, deadline) || !ReceiveMessage(requestId, reply, deadline)) return false;
  _lastExchange = Clock::now();
  try {
    out = DecodeResponse(reply.data(), reply.size(), std::max<size_t>(maxResults, 16), elementCaps);
  } catch (const DecodeError& e) {
    Drop(std::string("undecodable answer : ") + e.what());
    return false;
  }
  return true;
}

bool UaTcpSession::SendChunks(const char* type, const std::vector<uint8_t>& body, uint32_t requestId,
                              Clock::time_point deadline) {
  bool open = std::strcmp(type, "OPN") == 0;
  size_t chunkSize = std::min<size_t>(_peer.receiveBufferSize, kReceiveBufferSize * 4);
  size_t room = ChunkRoom(_security, chunkSize);
  size_t chunks = open ? 1 : std::max<size_t>(1, (body.size() + room - 1) / room);
  if ((_peer.maxMessageSize && body.size() > _peer.maxMessageSize) ||
      (_peer.maxChunkCount && chunks > _peer.maxChunkCount)) {
    Drop("request of " + std::to_string(body.size()) + " bytes exceeds the server's message limits");
    return false;
  }
  std::string why;
  size_t pos = 0;
  for (size_t c = 0; c < chunks; ++c) {
    size_t part = open ? body.size() : std::min(room, body.size() - pos);
    Bytes chunk;
    try {
      chunk =
          SealChunk(_security, _credentials, {type, c + 1 == chunks ? 'F' : 'C', _channelId, ++_sequence, requestId},
                    body.data() + pos, part);
    } catch (const DecodeError& e) {
      Drop(std::string("cannot secure a request : ") + e.what());
      return false;
    }
    pos += part;
    if (!_socket->Send(chunk.data(), chunk.size(), deadline, why)) {
      Drop(why);
      return false;
    }
  }
  return true;
}

bool UaTcpSession::ReceiveMessage(uint32_t requestId, std::vector<uint8_t>& body, Clock::time_point deadline) {
  std::string why;
  std::vector<uint8_t> chunk;
  size_t chunks = 0, bytes = 0;  // every chunk counts, those of other requests too
  body.clear();
  for (;;) {
    if (++chunks > kMaxChunks || bytes > size_t(kMaxMessageSize) + kReceiveBufferSize) {
      Drop("answer beyond " + std::to_string(kMaxChunks) + " chunks or " + std::to_string(kMaxMessageSize) + " bytes");
      return false;
    }
    uint8_t head[kChunkHeaderSize];
    if (!_socket->Receive(head, sizeof head, deadline, why)) {
      Drop(why);
      return false;
    }
    ChunkHeader h = ParseChunkHeader(head, sizeof head);
    if (h.size < kChunkHeaderSize + 8 || h.size > kReceiveBufferSize) {
      Drop("chunk of " + std::to_string(h.size) + " bytes");
      return false;
    }
    bytes += h.size;
    chunk.assign(head, head + kChunkHeaderSize);
    chunk.resize(h.size);
    if (!_socket->Receive(chunk.data() + kChunkHeaderSize, h.size - kChunkHeaderSize, deadline, why)) {
      Drop(why);
      return false;
    }
    try {
      if (std::memcmp(h.type, "ERR", 3) == 0) {
        auto error = DecodeErrorMessage(chunk.data() + kChunkHeaderSize, h.size - kChunkHeaderSize);
        Drop(Refusal(error.first, "server closed the channel : " + error.second));
        return false;
      }
      bool open = std::memcmp(h.type, "OPN", 3) == 0;
      if (!open && std::memcmp(h.type, "MSG", 3) != 0) throw DecodeError("unexpected message type");
      ChunkIn in = OpenChunk(_security, chunk.data(), chunk.size());
      if (!CheckChunk(open, {in.channelId, in.tokenId, in.sequence, in.requestId})) return false;
      if (open && _security.Secured() && in.senderCertificate != _serverCertificate.der) {
        Drop("secure channel answered under another certificate than the endpoint's");
        return false;
      }
      if (in.requestId != requestId) continue;  // not ours: counted above, never waited for past the deadline
      if (h.chunk == 'A') {
        Reader a(in.body.data(), in.body.size());
        Drop("server aborted the answer : " + Hex(a.U32()));
        return false;
      }
      if (h.chunk != 'F' && h.chunk != 'C') throw DecodeError("unknown chunk kind");
      if (body.size() + in.body.size() > kMaxMessageSize) {
        Drop("answer larger than " + std::to_string(kMaxMessageSize) + " bytes");
        return false;
      }
      body.insert(body.end(), in.body.begin(), in.body.end());
      if (h.chunk == 'F') return true;
    } catch (const DecodeError& e) {
      Drop(std::string("bad chunk : ") + e.what());
      return false;
    }
  }
}

std::string UaTcpSession::Refusal(uint32_t code, const std::string& reason) const {
  std::string what = reason + " " + Hex(code);
  // A server that does not trust our certificate refuses the secured channel.
  if (_channel != ChannelState::HelloSent || !_security.Secured()) return what;
  return "server refused our certificate " + _settings.certificate + " (thumbprint " +
         _identity->certificate.Thumbprint() + ") : " + what +
         " ; put it into the server's trusted client certificates";
}

bool UaTcpSession::CheckChunk(bool open, const ChunkSecurity& s) {
  // Sequence numbers rise by one per chunk and may wrap to below 1024 once
  // past 2^32 - 1024; we only insist that they rise.
  bool rising =
      _serverSequence == 0 || s.sequence > _serverSequence || (_serverSequence > 0xFFFFFBFFu && s.sequence < 1024);
  std::string wrong;
  if (_channelId != 0 && s.channelId != _channelId)
    wrong = "channel id " + std::to_string(s.channelId) + " (ours " + std::to_string(_channelId) + ")";
  else if (!open && s.tokenId != _tokenId && s.tokenId != _previousToken)
    wrong = "token " + std::to_string(s.tokenId) + " (ours " + std::to_string(_tokenId) + ")";
  else if (!rising)
    wrong = "sequence number " + std::to_string(s.sequence) + " after " + std::to_string(_serverSequence);
  if (!wrong.empty()) {
    Drop("answer with a wrong " + wrong);
    return false;
  }
  _serverSequence = s.sequence;
  return true;
}

// ---- batching ----------------------------------------------------------------------

template <class Item, class Send>
bool UaTcpSession::Batched(const char* service, const std::vector<Item>& items, uint32_t& limit, Send send) {
  size_t pos = 0;
  while (pos < items.size()) {
    if (!_connected) return false;
    size_t n = items.size() - pos;
    if (limit > 0) n = std::min<size_t>(n, limit);
    std::vector<Item> batch(items.begin() + static_cast<long>(pos), items.begin() + static_cast<long>(pos + n));
    uint32_t result = status::kGood;
    if (!send(batch, result)) return false;
    if (result == status::kBadTooManyOperations && n > 1) {
      limit = static_cast<uint32_t>(n / 2);
      LOG(INFO) << "OPC UA channel " << _url << " : server refused " << n << " operations, batches now " << limit;
      continue;
    }
    if (status::IsBad(result)) {
      if (!SessionLost(result) && _refusals.emplace(service, result).second)
        LOG(ERROR) << "OPC UA channel " << _url << " : " << service << " refused " << Hex(result)
                   << " (logged once until the connection has been up " << kStable.count() / 1000 << " s)";
      return false;
    }
    pos += n;
  }
  return true;
}

bool UaTcpSession::ReadBatch(const std::vector<ReadItem>& items, std::vector<DataValue>& out, uint32_t& result) {
  Response r;
  std::vector<size_t> caps;
  caps.reserve(items.size());
  for (const auto& item : items) caps.push_back(item.maxElements);
  if (!Exchange(EncodeRead(NextHeader(), items), r, items.size(), "MSG", &caps)) return false;
  result = r.serviceResult;
  if (r.typeId != msgid::kReadResponse && r.typeId != msgid::kServiceFault) {
    Drop("read answered with message " + std::to_string(r.typeId));
    return false;
  }
  if (status::IsBad(result)) return true;
  if (r.values.size() != items.size()) {
    Drop("read answered " + std::to_string(r.values.size()) + " values for " + std::to_string(items.size()) + " nodes");
    return false;
  }
  std::move(r.values.begin(), r.values.end(), std::back_inserter(out));
  return true;
}

bool UaTcpSession::WriteBatch(const std::vector<WriteItem>& items, std::vector<uint32_t>& out, uint32_t& result) {
  Response r;
  if (!Exchange(EncodeWrite(NextHeader(), items), r, items.size())) return false;
  result = r.serviceResult;
  if (r.typeId != msgid::kWriteResponse && r.typeId != msgid::kServiceFault) {
    Drop("write answered with message " + std::to_string(r.typeId));
    return false;
  }
  if (status::IsBad(result)) return true;
  if (r.results.size() != items.size()) {
    Drop("write answered " + std::to_string(r.results.size()) + " results for " + std::to_string(items.size()) +
         " nodes");
    return false;
  }
  out.insert(out.end(), r.results.begin(), r.results.end());
  return true;
}

bool UaTcpSession::ReadValues(const std::vector<NodeId>& ids, std::vector<DataValue>& out) {
  out.clear();
  Revive();
  if (!_connected) return false;
  std::vector<ReadItem> items;
  items.reserve(ids.size());
  for (const auto& id : ids) items.push_back({id, kAttributeValue});
  return Batched("read", items, _maxRead,
                 [&](const std::vector<ReadItem>& batch, uint32_t& result) { return ReadBatch(batch, out, result); });
}

// ---- nodes of device drivers ---------------------------------------------------------

UaTcpSession::Entry* UaTcpSession::Resolve(const _nodeData& node) {
  const UA_NodeId& id = node.nodeId;
  std::string identifier;
  switch (id.identifierType) {
    case UA_NODEIDTYPE_NUMERIC:
      identifier = "i=" + std::to_string(id.identifier.numeric);
      break;
    case UA_NODEIDTYPE_STRING:
      identifier.assign(reinterpret_cast<const char*>(id.identifier.string.data), id.identifier.string.length);
      break;
    default:
      identifier = "(unsupported identifier kind " + std::to_string(id.identifierType) + ")";
      break;
  }
  std::string key = std::to_string(id.namespaceIndex) + "|" + identifier;
  auto& entry = _entries[key];
  if (entry && entry->generation == _generation) return entry.get();
  if (!entry) entry = std::make_unique<Entry>();
  *entry = Entry();
  entry->generation = _generation;
  entry->label = std::to_string(id.namespaceIndex) + ":" + identifier;
  if (id.identifierType == UA_NODEIDTYPE_GUID) {
    entry->id.kind = NodeId::Guid;
    entry->id.ns = id.namespaceIndex;
    std::memcpy(entry->id.guid.data(), &id.identifier.guid.data1, 4);
    std::memcpy(entry->id.guid.data() + 4, &id.identifier.guid.data2, 2);
    std::memcpy(entry->id.guid.data() + 6, &id.identifier.guid.data3, 2);
    std::memcpy(entry->id.guid.data() + 8, id.identifier.guid.data4, 8);
  } else if (id.identifierType != UA_NODEIDTYPE_NUMERIC && id.identifierType != UA_NODEIDTYPE_STRING) {
    entry->state = Entry::Invalid;
  } else if (!identifier.empty() && identifier[0] == '/') {
    // A browse path from the Objects folder: "/Plant/2:Line1/Speed"; a name
    // without "<ns>:" is in the node's namespace.
    entry->state = Entry::Path;
    entry->path.start = NodeId::Num(0, nodes::kObjectsFolder);
    size_t pos = 1;
    while (pos <= identifier.size()) {
      size_t end = std::min(identifier.find('/', pos), identifier.size());
      std::string element = identifier.substr(pos, end - pos);
      pos = end + 1;
      if (element.empty()) continue;
      QualifiedName name{id.namespaceIndex, element};
      size_t colon = element.find(':');
      if (colon != std::string::npos && colon > 0 && colon <= 5 && element.find_first_not_of("0123456789") == colon &&
          std::stoi(element.substr(0, colon)) <= 65535) {
        name.ns = static_cast<uint16_t>(std::stoi(element.substr(0, colon)));
        name.name = element.substr(colon + 1);
      }
      entry->path.names.push_back(std::move(name));
    }
    if (entry->path.names.empty()) entry->state = Entry::Invalid;
  } else if (!ParseNodeIdText(id.namespaceIndex, identifier, entry->id)) {
    entry->state = Entry::Invalid;
  }
  if (entry->state == Entry::Invalid)
    LOG(ERROR) << "OPC UA channel " << _url << " : node '" << entry->label << "' is not a usable node identifier";
  return entry.get();
}

void UaTcpSession::TranslatePaths(const std::vector<Entry*>& pending) {
  std::vector<BrowsePath> paths;
  for (Entry* e : pending) paths.push_back(e->path);
  std::vector<BrowsePathResult> results;
  uint32_t limit = _maxRead;
  bool ok =
      Batched("browse path translation", paths, limit, [&](const std::vector<BrowsePath>& batch, uint32_t& result) {
        Response r;
        if (!Exchange(EncodeTranslate(NextHeader(), batch), r, batch.size())) return false;
        result = r.serviceResult;
        if (status::IsBad(result)) return true;
        if (r.typeId != msgid::kTranslateBrowsePathsResponse || r.paths.size() != batch.size()) {
          Drop("browse paths answered with " + std::to_string(r.paths.size()) + " results");
          return false;
        }
        results.insert(results.end(), r.paths.begin(), r.paths.end());
        return true;
      });
  for (size_t i = 0; i < results.size(); ++i) {
    Entry* e = pending[i];
    if (status::IsBad(results[i].status)) {
      // Unknown path: a server may add the node later; asked again next time.
      ReportOnce(*e, results[i].status, "browse path not found");
      continue;
    }
    e->id = results[i].target;
    e->state = Entry::Ready;
  }
  (void)ok;
}

void UaTcpSession::ReportOnce(Entry& entry, uint32_t code, const std::string& what) {
  constexpr size_t kCausesLogged = 4;  // a status that keeps changing stays a few lines
  entry.goodSince = Clock::time_point();
  if (std::find(entry.reported.begin(), entry.reported.end(), code) != entry.reported.end()) return;
  if (entry.reported.size() > kCausesLogged) return;
  entry.reported.push_back(code);
  if (entry.reported.size() > kCausesLogged) {
    LOG(ERROR) << "OPC UA channel " << _url << " : node '" << entry.label
               << "' keeps failing with other causes; not logged until it reads well for " << kStable.count() / 1000
               << " s";
    return;
  }
  LOG(ERROR) << "OPC UA channel " << _url << " : node '" << entry.label << "' " << what << " " << Hex(code);
}

void UaTcpSession::ReportGood(Entry& entry) {
  if (entry.reported.empty()) return;
  auto now = Clock::now();
  if (entry.goodSince == Clock::time_point()) entry.goodSince = now;
  if (now - entry.goodSince >= kStable) entry.reported.clear();
}

int UaTcpSession::Read(const std::vector<_nodeData*>& nodes) {
  Revive();
  std::vector<Entry*> entries(nodes.size(), nullptr);
  std::vector<Entry*> pending;
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (!nodes[i] || !nodes[i]->value) continue;
    entries[i] = Resolve(*nodes[i]);
    if (entries[i]->state == Entry::Path && std::find(pending.begin(), pending.end(), entries[i]) == pending.end())
      pending.push_back(entries[i]);
  }
  if (_connected && !pending.empty()) TranslatePaths(pending);

  std::vector<ReadItem> items;
  std::vector<size_t> which;
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (!entries[i]) continue;
    if (entries[i]->state == Entry::Ready) {
      const DataValueBase& declared = *nodes[i]->value;
      items.push_back({entries[i]->id, kAttributeValue,
                       declared.IsArray() ? static_cast<size_t>(std::max(declared.GetArraySize(), 0)) : 1});
      which.push_back(i);
    } else {
      nodes[i]->value->SetNull();
    }
  }
  std::vector<DataValue> values;
  if (_connected && !items.empty()) {
    Batched("read", items, _maxRead,
            [&](const std::vector<ReadItem>& batch, uint32_t& result) { return ReadBatch(batch, values, result); });
  }
  int read = 0;
  for (size_t k = 0; k < which.size(); ++k) {
    DataValueBase& value = *nodes[which[k]]->value;
    Entry& entry = *entries[which[k]];
    if (k >= values.size()) {
      value.SetNull();
      continue;
    }
    const DataValue& dv = values[k];
    if (status::IsBad(dv.status)) {
      ReportOnce(entry, dv.status, "read failed");
      value.SetNull();
    } else if (!dv.hasValue || dv.value.type == kNull) {
      value.SetNull();
    } else if (std::string wrong = Mismatch(dv.value, value); !wrong.empty()) {
      ReportOnce(entry, status::kBadTypeMismatch, "refused : " + wrong);
      value.SetNull();
    } else if (!Store(dv.value, value)) {
      ReportOnce(entry, status::kBadTypeMismatch, "value of type " + std::to_string(dv.value.type) + " not readable");
      value.SetNull();
    } else {
      entry.type = dv.value.type;
      entry.isArray = dv.value.isArray;
      ReportGood(entry);
      ++read;
    }
  }
  return read;
}

void UaTcpSession::LearnTypes(const std::vector<Entry*>& unknown) {
  std::vector<NodeId> ids;
  for (Entry* e : unknown) ids.push_back(e->id);
  std::vector<DataValue> values;
  ReadValues(ids, values);
  for (size_t i = 0; i < values.size(); ++i) {
    if (status::IsBad(values[i].status) || !values[i].hasValue) continue;
    unknown[i]->type = values[i].value.type;
    unknown[i]->isArray = values[i].value.isArray;
  }
}

int UaTcpSession::Write(const std::vector<_nodeData*>& nodes) {
  Revive();
  if (!_connected) return 0;
  std::vector<Entry*> entries(nodes.size(), nullptr);
  std::vector<Entry*> pending, unknown;
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (!nodes[i] || !nodes[i]->value) continue;
    Entry* e = entries[i] = Resolve(*nodes[i]);
    if (e->state == Entry::Path && std::find(pending.begin(), pending.end(), e) == pending.end()) pending.push_back(e);
  }
  if (!pending.empty()) TranslatePaths(pending);
  // A write must carry the node's own type: learn it from its value first.
  for (Entry* e : entries)
    if (e && e->state == Entry::Ready && e->type == kNull &&
        std::find(unknown.begin(), unknown.end(), e) == unknown.end())
      unknown.push_back(e);
  if (!unknown.empty()) LearnTypes(unknown);

  std::vector<WriteItem> items;
  std::vector<Entry*> written;
  for (size_t i = 0; i < nodes.size(); ++i) {
    Entry* e = entries[i];
    if (!e) continue;
    WriteItem item;
    item.node = e->id;
    item.indexRange = IndexRange(nodes[i]->indices);
    const char* skip =
        e->generation != _generation ? "the connection was renewed meanwhile"
        : e->state != Entry::Ready   ? "node unknown"
        : e->type == kNull || !ToVariant(*nodes[i]->value, e->type, !nodes[i]->indices.empty(), item.value)
            ? "no value of the node's type"
            : nullptr;
    if (skip) {
      LOG(ERROR) << "OPC UA channel " << _url << " : write to node '" << e->label << "' skipped : " << skip;
      continue;
    }
    items.push_back(std::move(item));
    written.push_back(e);
  }
  std::vector<uint32_t> results;
  if (!items.empty()) {
    Batched("write", items, _maxWrite,
            [&](const std::vector<WriteItem>& batch, uint32_t& result) { return WriteBatch(batch, results, result); });
  }
  int good = 0;
  for (size_t k = 0; k < written.size(); ++k) {
    if (k < results.size() && !status::IsBad(results[k])) {
      ++good;
      continue;
    }
    LOG(ERROR) << "OPC UA channel " << _url << " : write to node '" << written[k]->label << "' failed "
               << Hex(k < results.size() ? results[k] : status::kBadCommunicationError);
  }
  return good;
}

}  // namespace VESK::DAQ
