#include "InfluxHttp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>

namespace VESK::influx {

namespace {

using Clock = std::chrono::steady_clock;

// The bounds of one exchange: its deadline and the caller's cancel flag.
struct Limits {
  Clock::time_point deadline;
  const std::atomic<bool>* cancel;
};

// Waits until fd is ready for events. Returns 0, or kHttpTimedOut /
// kHttpCancelled / fallback. Waits in slices so a raised cancel flag is
// seen within kCancelSliceMs even when no signal interrupts the poll.
int WaitReady(int fd, short events, const Limits& limits, int fallback) {
  for (;;) {
    if (limits.cancel && limits.cancel->load()) return kHttpCancelled;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limits.deadline - Clock::now()).count();
    if (left <= 0) return kHttpTimedOut;
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, kCancelSliceMs)));
    if (r > 0) return 0;
    if (r < 0 && errno != EINTR) return fallback;
  }
}

int Connect(int fd, const sockaddr_in& addr, const Limits& limits) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return 0;
  if (errno != EINPROGRESS && errno != EINTR) return kHttpConnectFailed;
  if (int rc = WaitReady(fd, POLLOUT, limits, kHttpConnectFailed)) return rc;
  int err = 0;
  socklen_t len = sizeof err;
  return (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) ? 0 : kHttpConnectFailed;
}

// Sends head then body in as few system calls as the socket allows.
// MSG_NOSIGNAL: a peer that has gone away must give an error code, not a
// SIGPIPE that ends the whole program.
int SendAll(int fd, const std::string& head, const std::string& body, const Limits& limits) {
  iovec iov[2] = {{const_cast<char*>(head.data()), head.size()}, {const_cast<char*>(body.data()), body.size()}};
  iovec* vec = iov;
  int count = body.empty() ? 1 : 2;
  while (count > 0) {
    msghdr msg{};
    msg.msg_iov = vec;
    msg.msg_iovlen = count;
    const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return kHttpSendFailed;
      if (int rc = WaitReady(fd, POLLOUT, limits, kHttpSendFailed)) return rc;
      continue;
    }
    std::size_t sent = static_cast<std::size_t>(n);
    while (count > 0 && sent >= vec->iov_len) {
      sent -= vec->iov_len;
      ++vec;
      --count;
    }
    if (count > 0) {
      vec->iov_base = static_cast<char*>(vec->iov_base) + sent;
      vec->iov_len -= sent;
    }
  }
  return 0;
}

// Buffered byte reader over the socket, bounded in time (Limits) and in the
// number of bytes it hands out (budget). Get fails on a receive error, the
// peer's close, the deadline, a cancel or an exhausted budget; Failure()
// then tells which of the last three it was (0 for the others), and the
// caller otherwise reports the position it was parsing.
class Reader {
 public:
  Reader(int fd, const Limits& limits) : _fd(fd), _limits(limits) {}

  void SetBudget(std::size_t bytes) { _budget = bytes; }
  // Bytes received beyond what was parsed: a connection holding them is out of step.
  bool Buffered() const { return _pos < _len; }
  int Failure() const { return _failure; }

  bool Get(char& c) {
    if (!Spend(1) || (_pos == _len && !Refill())) return false;
    c = _buf[_pos++];
    return true;
  }

  // Passes up to count bytes to sink without copying them one by one;
  // returns the number taken (0 when the peer stopped or a bound was hit).
  template <typename Sink>
  std::size_t Take(std::size_t count, Sink&& sink) {
    if (_pos == _len && !Refill()) return 0;
    const std::size_t n = std::min({count, _len - _pos, _budget});
    if (!Spend(n)) return 0;
    sink(_buf + _pos, n);
    _pos += n;
    return n;
  }

 private:
  bool Spend(std::size_t n) {
    if (n == 0 || n > _budget) {
      _failure = kHttpTooLarge;
      return false;
    }
    _budget -= n;
    return true;
  }

  bool Refill() {
    for (;;) {
      const ssize_t n = ::recv(_fd, _buf, sizeof _buf, 0);
      if (n > 0) {
        _pos = 0;
        _len = static_cast<std::size_t>(n);
        return true;
      }
      if (n == 0) return false;  // closed by the peer
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
      const int rc = WaitReady(_fd, POLLIN, _limits, -1);
      if (rc == kHttpTimedOut || rc == kHttpCancelled) _failure = rc;
      if (rc != 0) return false;
    }
  }

  int _fd;
  Limits _limits;
  std::size_t _budget = kMaxHeadBytes;
  int _failure = 0;
  char _buf[4096];
  std::size_t _pos = 0;
  std::size_t _len = 0;
};

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The parsed head of a response: what decides how the body is framed.
struct Head {
  int status = 0;
  bool chunked = false;
  std::uint64_t contentLength = 0;
  bool http11 = false;  // the status line's version
  bool framed = false;  // a length or chunks end the body, not the close
  bool close = false;   // "Connection: close"
};

int ReadStatus(Reader& in, Head& head, bool& atLineStart) {
  char c;
  std::string version;
  do {
    if (!in.Get(c) || c == '\0') return kHttpStatusFailed;
    if (version.size() < 9) version += c;
  } while (c != ' ');
  head.http11 = version == "HTTP/1.1 ";
  int digits = 0;
  for (;;) {
    if (!in.Get(c) || c == '\0') return kHttpStatusFailed;
    if (c < '0' || c > '9') break;
    if (++digits > 3) return kHttpStatusFailed;
    head.status = head.status * 10 + (c - '0');
  }
  // Without this check an answer with no status number would read as 0 and
  // pass for neither an error nor a success.
  if (digits != 3 || head.status < 100) return kHttpStatusFailed;
  atLineStart = (c == '\n');
  return 0;
}

// Header names are case-insensitive in HTTP; a server or proxy that writes
// them in lower case still frames its body with them.
int ReadHeaders(Reader& in, Head& head, bool atLineStart) {
  static const std::string kLength = "content-length";
  static const std::string kEncoding = "transfer-encoding";
  static const std::string kConnection = "connection";
  char c;
  for (;;) {
    while (!atLineStart) {
      if (!in.Get(c) || c == '\0') return kHttpHeaderFailed;
      atLineStart = (c == '\n');
    }
    atLineStart = false;
    if (!in.Get(c) || c == '\0') return kHttpHeaderFailed;
    if (c == '\r') {
      if (!in.Get(c) || c != '\n') return kHttpFramingFailed;
      return 0;
    }
    if (c == '\n') return 0;
    std::string name(1, Lower(c));
    for (;;) {
      if (!in.Get(c) || c == '\0') return kHttpHeaderFailed;
      if (c == ':' || c == '\n' || name.size() > kEncoding.size()) break;
      name += Lower(c);
    }
    if (c == '\n') {
      atLineStart = true;
      continue;
    }
    if (c != ':' || (name != kLength && name != kEncoding && name != kConnection)) continue;
    do {
      if (!in.Get(c) || c == '\0') return kHttpHeaderFailed;
    } while (c == ' ' || c == '\t');
    if (name == kLength) {
      int digits = 0;
      head.contentLength = 0;
      while (c >= '0' && c <= '9') {
        if (++digits > 18) return kHttpHeaderFailed;
        head.contentLength = head.contentLength * 10 + static_cast<std::uint64_t>(c - '0');
        if (!in.Get(c) || c == '\0') return kHttpHeaderFailed;
      }
      if (digits == 0) return kHttpHeaderFailed;
      head.framed = true;
    } else {
      std::string value;
      while (c != '\r' && c != '\n') {
        if (value.size() < 64) value += Lower(c);
        if (!in.Get(c) || c == '\0') return kHttpHeaderFailed;
      }
      if (name == kConnection) {
        head.close = value.find("close") != std::string::npos;
      } else {
        // "chunked" is always the last coding when present.
        head.chunked = value.size() >= 7 && value.compare(value.size() - 7, 7, "chunked") == 0;
        head.framed = head.framed || head.chunked;
      }
    }
    atLineStart = (c == '\n');
  }
}

int ReadBytes(Reader& in, std::uint64_t count, std::string* response) {
  while (count > 0) {
    const std::size_t want = count > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(count);
    const std::size_t n = in.Take(want, [response](const char* data, std::size_t size) {
      if (response && response->size() < kMaxKeptBody)
        response->append(data, std::min(size, kMaxKeptBody - response->size()));
    });
    if (n == 0) return kHttpBodyTruncated;
    count -= n;
  }
  return 0;
}

bool ExpectCrLf(Reader& in) {
  char c;
  return in.Get(c) && c == '\r' && in.Get(c) && c == '\n';
}

int ReadChunked(Reader& in, std::string* response) {
  for (;;) {
    std::uint64_t length = 0;
    int digits = 0;
    char c;
    for (;;) {
      if (!in.Get(c) || c == '\0') return kHttpStatusFailed;
      int v;
      if (c >= '0' && c <= '9') {
        v = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        v = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        v = c - 'A' + 10;
      } else {
        break;
      }
      if (++digits > 15) return kHttpBadChunkLength;
      length = length * 16 + static_cast<std::uint64_t>(v);
    }
    if (c != '\r' || digits == 0) return kHttpBadChunkLength;
    if (!in.Get(c) || c != '\n') return kHttpFramingFailed;
    if (length == 0) return ExpectCrLf(in) ? 0 : kHttpFramingFailed;
    if (int rc = ReadBytes(in, length, response)) return rc;
    if (!ExpectCrLf(in)) return kHttpFramingFailed;
  }
}

// A bound hit (deadline, cancel, size) wins over the position's own code:
// it says why the exchange ended.
int ReadResponse(int fd, const Limits& limits, std::string* response, bool* keepOpen) {
  if (response) response->clear();
  if (keepOpen) *keepOpen = false;
  Reader in(fd, limits);
  Head h;
  bool atLineStart = false;
  int rc = ReadStatus(in, h, atLineStart);
  if (rc == 0) rc = ReadHeaders(in, h, atLineStart);
  if (rc == 0) {
    in.SetBudget(kMaxBodyBytes);
    rc = h.chunked ? ReadChunked(in, response) : ReadBytes(in, h.contentLength, response);
  }
  if (rc != 0) return in.Failure() ? in.Failure() : rc;
  if (keepOpen) *keepOpen = h.http11 && !h.close && (h.framed || h.status == 204 || h.status == 304) && !in.Buffered();
  return (h.status >= 200 && h.status <= 299) ? 0 : h.status;
}

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         c == '.' || c == '~';
}

}  // namespace

void url_encode(std::string& out, const std::string& in) {
  static const char kHex[] = "0123456789ABCDEF";
  for (unsigned char c : in) {
    if (IsUnreserved(c)) {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
}

void Connection::Close() {
  if (_fd >= 0) ::close(_fd);
  _fd = -1;
}

namespace {

// One exchange on conn, connecting first when it is not open.
int Exchange(Connection& conn, const sockaddr_in& addr, const std::string& head, const std::string& body,
             const Limits& limits, std::string* response, bool& keepOpen) {
  keepOpen = false;
  if (!conn.IsOpen()) {
    conn.Adopt(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!conn.IsOpen()) return kHttpSocketFailed;
    if (int rc = Connect(conn.Fd(), addr, limits)) return rc;
  }
  if (int rc = SendAll(conn.Fd(), head, body, limits)) return rc;
  return ReadResponse(conn.Fd(), limits, response, &keepOpen);
}

}  // namespace

int http_request(const std::string& method, const std::string& path, const std::string& query, const std::string& body,
                 const server_info& si, std::string* response, Connection* conn) {
  const auto start = Clock::now();
  if (response) response->clear();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(si.port & 0xFFFF));
  if (::inet_pton(AF_INET, si.host.c_str(), &addr.sin_addr) != 1) return kHttpBadHost;

  std::string head;
  head.reserve(256 + query.size() + si.password.size());
  head += method;
  head += " /";
  head += path;
  head += "?db=";
  url_encode(head, si.database);
  head += "&u=";
  url_encode(head, si.user);
  head += "&p=";
  url_encode(head, si.password);
  head += "&epoch=";
  url_encode(head, si.precision);
  head += query;
  head += " HTTP/1.1\r\nHost: ";
  head += si.host;
  head += "\r\nContent-Length: ";
  head += std::to_string(body.size());
  head += "\r\n\r\n";

  const Limits limits{start + std::chrono::milliseconds(si.timeout_ms), si.cancel};
  Connection own;
  Connection& c = conn ? *conn : own;
  const bool reused = c.IsOpen();
  bool keepOpen = false;
  int rc = Exchange(c, addr, head, body, limits, response, keepOpen);
  // A kept connection the server has closed meanwhile fails at once: once
  // more on a new one (a write stores a point with the same series and time
  // only once, so a repeat is harmless).
  if (rc < 0 && reused && rc != kHttpTimedOut && rc != kHttpCancelled) {
    c.Close();
    if (response) response->clear();
    rc = Exchange(c, addr, head, body, limits, response, keepOpen);
  }
  if (rc < 0 || !keepOpen) c.Close();
  return rc;
}

int read_response(int fd, int timeoutMs, std::string* response, const std::atomic<bool>* cancel, bool* keepOpen) {
  return ReadResponse(fd, {Clock::now() + std::chrono::milliseconds(timeoutMs), cancel}, response, keepOpen);
}

const char* http_error_text(int code) {
  switch (code) {
    case kHttpBadHost:
      return "host is not an IPv4 address";
    case kHttpSocketFailed:
      return "socket failed";
    case kHttpConnectFailed:
      return "connect failed";
    case kHttpSendFailed:
      return "send failed";
    case kHttpStatusFailed:
      return "no valid status line or length";
    case kHttpBadChunkLength:
      return "bad chunk length";
    case kHttpFramingFailed:
      return "bad framing";
    case kHttpHeaderFailed:
      return "bad or cut-off headers";
    case kHttpBodyTruncated:
      return "body cut off";
    case kHttpTimedOut:
      return "timed out";
    case kHttpCancelled:
      return "cancelled by the stop";
    case kHttpTooLarge:
      return "answer too large";
    default:
      return "";
  }
}

}  // namespace VESK::influx
