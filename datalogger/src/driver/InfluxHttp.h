#pragma once
// Minimal HTTP/1.1 client for the InfluxDB 1.x API: no name resolution; a
// connection is kept open between requests when the caller holds one and the
// server allows it. Reentrant; a Connection belongs to one caller.
#include <atomic>
#include <cstddef>
#include <string>

namespace VESK::influx {

// Connection settings, owned by the driver and only read here.
struct server_info {
  std::string host = "127.0.0.1";  // IPv4, dotted decimal
  int port = 8086;                 // low 16 bits used
  std::string database = "pemrix";
  std::string user;
  std::string password;
  std::string precision = "ms";  // sent as "epoch"
  // Deadline of the whole exchange, from connect to the last body byte. A
  // peer that trickles its answer byte by byte cannot stretch it.
  int timeout_ms = 10000;
  // When set and true, every wait ends within kCancelSliceMs with
  // kHttpCancelled: the program's stop flag, so a stop never waits out a
  // request. Not owned; must outlive the calls.
  const std::atomic<bool>* cancel = nullptr;
};

constexpr int kCancelSliceMs = 50;
constexpr std::size_t kMaxHeadBytes = 16 * 1024;    // status line and headers
constexpr std::size_t kMaxBodyBytes = 1024 * 1024;  // body, with chunk framing
constexpr std::size_t kMaxKeptBody = 64 * 1024;     // of it, handed to the caller

// Return codes of http_request besides 0 (2xx) and a non-2xx HTTP status.
enum : int {
  kHttpBadHost = -1,         // host is not a dotted-decimal IPv4 address
  kHttpSocketFailed = -2,    // socket() failed
  kHttpConnectFailed = -3,   // refused, unreachable or timed out
  kHttpSendFailed = -6,      // head and body not sent in full
  kHttpStatusFailed = -7,    // no valid status line, or a number/chunk length cut off
  kHttpBadChunkLength = -8,  // chunk length not ended by CR
  kHttpFramingFailed = -9,   // CR LF missing at the end of the head or around a chunk
  kHttpHeaderFailed = -10,   // head cut off, NUL byte or malformed Content-Length
  kHttpBodyTruncated = -11,  // the peer stopped before the announced body was complete
  kHttpTimedOut = -12,       // the exchange's deadline passed
  kHttpCancelled = -13,      // the cancel flag was raised
  kHttpTooLarge = -14,       // head or body over its bound
};

// A TCP connection kept between requests: open after an exchange whose
// answer was HTTP/1.1, framed by its length, without "Connection: close";
// closed after any failure. Closed on destruction.
class Connection {
 public:
  Connection() = default;
  ~Connection() { Close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  bool IsOpen() const { return _fd >= 0; }
  int Fd() const { return _fd; }
  void Adopt(int fd) {
    Close();
    _fd = fd;
  }
  void Close();

 private:
  int _fd = -1;
};

// One request/response exchange with si.host:si.port:
//   <method> /<path>?db=<db>&u=<user>&p=<password>&epoch=<precision><query> HTTP/1.1
// db, user, password and precision are URL-encoded here; query is appended
// verbatim (callers start it with "&" or pass it empty). The body is sent
// from the caller's string without a copy. Blocks at most si.timeout_ms (plus
// one cancel slice). When response is given it is cleared and receives the
// body (at most kMaxKeptBody bytes are kept). Returns 0 for a 2xx status, the
// status for any other, or one of the negative codes above. With conn, its
// open connection is used (and, when the server had closed it meanwhile, a
// new one once), and left open when the server allows it; without, the
// exchange has a connection of its own.
int http_request(const std::string& method, const std::string& path, const std::string& query, const std::string& body,
                 const server_info& si, std::string* response = nullptr, Connection* conn = nullptr);

// Reads and parses one HTTP/1.1 response from the connected stream socket fd
// (left open): status line, headers, then a Content-Length or chunked body.
// The whole read is bounded by timeoutMs and the size bounds above. Same
// results and response handling as http_request; used by it and by the
// parser's fuzz harness.
// keepOpen (when given) tells whether the connection may carry another request.
int read_response(int fd, int timeoutMs, std::string* response, const std::atomic<bool>* cancel = nullptr,
                  bool* keepOpen = nullptr);

// Appends the form encoding of in to out: RFC 3986 unreserved characters
// as they are, space as "+", every other byte as %XX (upper-case hex).
void url_encode(std::string& out, const std::string& in);

// Short text for a negative code, for log lines ("" for 0 and statuses).
const char* http_error_text(int code);

}  // namespace VESK::influx
