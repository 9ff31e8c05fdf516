// The OPC UA client against a scripted server that misbehaves on purpose: every mode must cost bounded time
// and memory, leave the tag null (or its declared shape) and let the session be closed.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>

#include "LogCapture.h"
#include "plinth/UaTcpSession.h"

using namespace VESK::DAQ;
using namespace VESK::DAQ::ua;
using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<uint8_t>;
enum class Mode { ForeignFlood, FloodAtClose, HugeArray, WrongSequence };

Bytes Captured(const std::string& name) {
  std::ifstream in(std::string(PEMRIX_UA_CORPUS) + "/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
Bytes CapturedBody(const std::string& name) {
  Bytes chunk = Captured(name);
  Reader r(chunk.data() + kChunkHeaderSize, chunk.size() - kChunkHeaderSize);
  ParseSecurityHeaders(chunk[0] == 'O', r);
  return {chunk.end() - static_cast<long>(r.Left()), chunk.end()};
}

void ResponseHeader(Writer& w, uint32_t type) {
  w.NodeIdValue(NodeId::Num(0, type));
  w.I64(0);                          // timestamp
  w.U32(0);                          // request handle
  w.U32(status::kGood);              // service result
  w.U8(0);                           // diagnostics
  w.I32(-1);                         // string table
  w.NodeIdValue(NodeId::Num(0, 0));  // additional header
  w.U8(0);
}

// One endpoint: security None, anonymous login.
Bytes EndpointsResponse() {
  Writer w;
  ResponseHeader(w, msgid::kGetEndpointsResponse);
  w.I32(1);
  w.String("opc.tcp://127.0.0.1");
  w.String("urn:scripted"), w.NullString(), w.U8(0), w.I32(0), w.NullString(), w.NullString(), w.I32(-1);
  w.NullString();  // certificate
  w.I32(1);
  w.String("http://opcfoundation.org/UA/SecurityPolicy#None");
  w.I32(1);
  w.String("anonymous"), w.I32(0), w.NullString(), w.NullString(), w.NullString();
  w.NullString(), w.U8(0);
  return std::move(w.Bytes());
}

// One value in a ReadResponse.
Bytes ReadResponse(const Variant& v) {
  Writer w;
  ResponseHeader(w, msgid::kReadResponse);
  w.I32(1);
  w.U8(0x01);  // value only
  w.VariantValue(v);
  w.I32(-1);  // diagnostics
  return std::move(w.Bytes());
}

// Serves one connection after another on a loopback port, answering from the captured session and
// misbehaving as its mode says once the client reads a node.
class ScriptedServer {
 public:
  explicit ScriptedServer(Mode mode) : _mode(mode) {
    Variant v;  // encoded ahead, so the client's deadline measures the client alone
    v.type = _mode == Mode::HugeArray ? kByte : kDouble;
    v.isArray = _mode == Mode::HugeArray;
    if (v.isArray) v.ints.assign(1 << 20, 7);
    if (!v.isArray) v.reals = {1.5};
    _value = ReadResponse(v);
    _listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(_listen, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(_listen, 4) != 0 ||
        ::getsockname(_listen, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      ADD_FAILURE() << "cannot listen";
    _port = ntohs(a.sin_port);
    _thread = std::thread([this] { Run(); });
  }
  ~ScriptedServer() {
    _stop = true;
    _thread.join();
    ::close(_listen);
  }
  std::string Endpoint() const { return "opc.tcp://127.0.0.1:" + std::to_string(_port); }

 private:
  void Run() {
    while (!_stop) {
      pollfd p{_listen, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      int fd = ::accept4(_listen, nullptr, nullptr, SOCK_CLOEXEC);
      timeval t{0, 50000};  // so a flood notices the stop flag
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
      Serve(fd);
      ::close(fd);
    }
  }
  bool Receive(int fd, uint8_t* p, size_t n) {
    while (n > 0 && !_stop) {
      ssize_t got = ::recv(fd, p, n, 0);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return false;
      if (got > 0) p += got, n -= static_cast<size_t>(got);
    }
    return n == 0;
  }
  bool Send(int fd, const Bytes& b) {
    for (size_t pos = 0; pos < b.size() && !_stop;) {
      ssize_t n = ::send(fd, b.data() + pos, b.size() - pos, MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      if (n > 0) pos += static_cast<size_t>(n);
    }
    return !_stop;
  }
  bool Answer(int fd, const char* type, uint32_t requestId, const Bytes& body) {
    const size_t room = 65536 - 24;  // the client announced chunks of 64 KiB
    size_t pos = 0;
    do {
      size_t part = std::min(room, body.size() - pos);
      Writer w;
      w.Raw(type, 3);
      w.U8(pos + part == body.size() ? 'F' : 'C');
      w.U32(0);
      w.U32(_channel);
      if (type[0] == 'O') {
        w.String("http://opcfoundation.org/UA/SecurityPolicy#None");
        w.NullString();
        w.NullString();
      } else {
        w.U32(_token);
      }
      w.U32(_mode == Mode::WrongSequence && _reads > 1 ? 1 : ++_sequence);
      w.U32(requestId);
      w.Raw(body.data() + pos, part);
      w.PatchU32(4, static_cast<uint32_t>(w.Size()));
      if (!Send(fd, w.Bytes())) return false;
      pos += part;
    } while (pos < body.size());
    return true;
  }
  // Small chunks of a request nobody asked, until the client hangs up.
  void Flood(int fd, uint32_t requestId) {
    const Bytes nothing(4, 0);
    while (Answer(fd, "MSG", requestId + 1000, nothing)) {
    }
  }
  void Serve(int fd) {
    _reads = 0;
    for (;;) {
      uint8_t head[kChunkHeaderSize];
      if (!Receive(fd, head, sizeof head)) return;
      ChunkHeader h = ParseChunkHeader(head, sizeof head);
      Bytes chunk(h.size - kChunkHeaderSize);
      if (!Receive(fd, chunk.data(), chunk.size())) return;
      std::string type(h.type, 3);
      if (type == "HEL") {
        if (!Send(fd, Captured("ack.bin"))) return;
        continue;
      }
      if (type != "OPN" && type != "MSG") return;
      Reader r(chunk.data(), chunk.size());
      uint32_t id = ParseSecurityHeaders(type == "OPN", r);
      uint32_t request = r.NodeIdValue().numeric;
      Bytes reply;
      if (request == msgid::kOpenSecureChannelRequest) {
        reply = CapturedBody("open_response.bin");
        Response open = DecodeResponse(reply.data(), reply.size());
        _channel = open.channelId, _token = open.tokenId;
      } else if (request == msgid::kGetEndpointsRequest) {
        reply = EndpointsResponse();
      } else if (request == msgid::kCreateSessionRequest) {
        reply = CapturedBody("create_session_response.bin");
      } else if (request == msgid::kActivateSessionRequest) {
        reply = CapturedBody("activate_session_response.bin");
      } else if (request == msgid::kReadRequest && ++_reads == 1) {
        reply = CapturedBody("read_limits_response.bin");
      } else if (request == msgid::kReadRequest) {
        if (_mode == Mode::ForeignFlood) return Flood(fd, id);
        reply = _value;
      } else if (request == msgid::kCloseSessionRequest) {
        if (_mode == Mode::FloodAtClose) return Flood(fd, id);
        reply = CapturedBody("close_session_response.bin");
      } else {
        return;
      }
      if (!Answer(fd, type.c_str(), id, reply)) return;
    }
  }

  Mode _mode;
  int _listen = -1, _port = 0;
  std::atomic<bool> _stop{false};
  std::thread _thread;
  uint32_t _channel = 0, _token = 0, _sequence = 0;
  int _reads = 0;
  Bytes _value;  // the answer to a read
};

TEST(UaHostileServerTest, EveryModeCostsBoundedTimeAndLeavesTheTagNull) {
  struct Case {
    Mode mode;
    const char* logged;  // ERROR text the mode leaves
    bool readNull;
  };
  const Case cases[] = {
      {Mode::ForeignFlood, " down : ", true},
      {Mode::FloodAtClose, "", false},
      {Mode::HugeArray, "refused : an array of 1048576 where the profile declares a scalar", true},
      {Mode::WrongSequence, "answer with a wrong sequence number 1", true},
  };
  // Sanitizers slow the client down; the bounds stay far below what an unbounded loop would take.
  const auto timeout = 300ms, slack = 1500ms;
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mode));
    pemrix::testing::LogCapture log;
    ScriptedServer server(c.mode);
    UaTcpSession::Settings settings;
    settings.endpoint = server.Endpoint();
    settings.requestTimeout = timeout;
    auto session = std::make_unique<UaTcpSession>(settings);
    ASSERT_TRUE(session->Reconnect());

    _nodeData node{};
    node.nodeId.namespaceIndex = 1;
    node.nodeId.identifierType = UA_NODEIDTYPE_STRING;
    node.nodeId.identifier.string = UA_String_fromChars("Scalar.Double");
    node.value = DataValueBase::Create(DT_DOUBLE);
    auto start = std::chrono::steady_clock::now();
    session->Read({&node});
    EXPECT_LT(std::chrono::steady_clock::now() - start, timeout + slack);
    EXPECT_EQ(node.value->IsNull(), c.readNull);
    EXPECT_FALSE(node.value->IsArray()) << "the server reshaped the tag";
    if (*c.logged) {
      EXPECT_EQ(log.Count(c.logged, "ERROR"), 1);
    }

    start = std::chrono::steady_clock::now();
    session.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s + slack) << "closing waited on the server";
    UA_deleteMembers(&node.nodeId, &UA_TYPES[UA_TYPES_NODEID]);
  }
}

}  // namespace
