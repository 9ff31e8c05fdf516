// The OPC UA client against a scripted server misbehaving on purpose (else answering from the captured session):
// each mode costs bounded time and memory, leaves the tag null or of its declared shape, and the session closable.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>
#include <utility>

#include "LogCapture.h"
#include "TestSupport.h"
#include "plinth/UaTcpSession.h"

using namespace VESK::DAQ;
using namespace VESK::DAQ::ua;
using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<uint8_t>;
// DropWhileLearning: the first connection closes on the read a write makes to
// learn the node's type; the next connection serves. Reordered: of two reads
// in flight, the second is answered (2.5) before the first (1.5).
enum class Mode { ForeignFlood, FloodAtClose, HugeArray, WrongSequence, DropWhileLearning, Reordered };

// A captured chunk, or its service body.
Bytes Captured(const std::string& name, bool body = true) {
  std::ifstream in(std::string(PEMRIX_UA_CORPUS) + "/" + name, std::ios::binary);
  const Bytes chunk{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (!body) return chunk;
  Reader r(chunk.data() + kChunkHeaderSize, chunk.size() - kChunkHeaderSize);
  ParseSecurityHeaders(chunk[0] == 'O', r);
  return {chunk.end() - static_cast<long>(r.Left()), chunk.end()};
}

// The answer to the tag's read: a Double, or a million Bytes for that scalar.
Bytes ReadResponse(bool huge, double value = 1.5) {
  Variant v{huge ? kByte : kDouble, huge, 0, {}, {}, {}, {}};
  huge ? v.ints.assign(1 << 20, 7) : v.reals.assign(1, value);
  Writer w;
  w.NodeIdValue(NodeId::Num(0, msgid::kReadResponse));
  for (int i = 0; i < 4; ++i) w.U32(0);                 // time, handle, status
  w.Raw("\0\xFF\xFF\xFF\xFF\0\0\0\x01\0\0\0\x01", 13);  // no diagnostics, strings, extension; one value
  w.VariantValue(v);
  w.I32(-1);
  return std::move(w.Bytes());
}

// The answer to a write of one node: Good.
Bytes WriteResponse() {
  Writer w;
  w.NodeIdValue(NodeId::Num(0, msgid::kWriteResponse));
  for (int i = 0; i < 4; ++i) w.U32(0);                     // time, handle, status
  w.Raw("\0\xFF\xFF\xFF\xFF\0\0\0\x01\0\0\0\0\0\0\0", 16);  // no diagnostics, strings, extension; Good
  w.I32(-1);
  return std::move(w.Bytes());
}

// One endpoint: security None, anonymous login.
Bytes Endpoints() {
  Writer w;
  w.NodeIdValue(NodeId::Num(0, msgid::kGetEndpointsResponse));
  for (int i = 0; i < 4; ++i) w.U32(0);             // time, handle, status
  w.Raw("\0\xFF\xFF\xFF\xFF\0\0\0\x01\0\0\0", 12);  // no diagnostics, strings, extension; one endpoint
  w.String("opc.tcp://127.0.0.1"), w.String("urn:scripted"), w.NullString(), w.U8(0), w.I32(0);
  for (int i = 0; i < 3; ++i) w.I32(-1);  // gateway, discovery profile, discovery URLs
  w.NullString(), w.I32(1), w.String("http://opcfoundation.org/UA/SecurityPolicy#None"), w.I32(1);
  w.String("anonymous"), w.I32(0);
  for (int i = 0; i < 4; ++i) w.I32(-1);  // issued type, issuer, token policy; transport profile
  w.U8(0);
  return std::move(w.Bytes());
}

// Serves one connection on a loopback port.
struct ScriptedServer {
  explicit ScriptedServer(Mode mode) : _mode(mode), _read(ReadResponse(mode == Mode::HugeArray)) {
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t n = sizeof a;
    EXPECT_TRUE(!bind(_listen, (sockaddr*)&a, n) && !listen(_listen, 1) && !getsockname(_listen, (sockaddr*)&a, &n));
    _port = ntohs(a.sin_port);
    _thread = std::thread([this] {  // a connection ends when the client hangs up (a flood: its sends fail)
      for (int fd; (fd = accept4(_listen, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; ++_connections) {
        _reads = 0, _sequence = 0;
        Serve(fd);
        close(fd);
      }
    });
  }
  ~ScriptedServer() {
    shutdown(_listen, SHUT_RDWR);  // wakes an accept still waiting
    _thread.join();
    close(_listen);
  }
  // Moves all of [p, p + n) in or out, unless the client hung up.
  template <class Io, class P>
  bool All(Io io, int fd, P p, size_t n) {
    for (ssize_t got = 0; n > 0; p += got, n -= size_t(got))
      if ((got = io(fd, p, n, MSG_NOSIGNAL)) <= 0) return false;
    return true;
  }
  bool Answer(int fd, const char* type, uint32_t requestId, const Bytes& body) {
    for (size_t pos = 0, part; pos < body.size(); pos += part) {
      part = std::min<size_t>(65536 - 24, body.size() - pos);  // the client's chunk size
      Writer w;
      w.Raw(type, 3);
      w.U8(pos + part == body.size() ? 'F' : 'C');
      for (uint32_t field : {0u, _channel}) w.U32(field);
      type[0] == 'O' ? (w.String("http://opcfoundation.org/UA/SecurityPolicy#None"), w.NullString(), w.NullString())
                     : w.U32(_token);
      w.U32(_mode == Mode::WrongSequence && _reads > 1 ? 1 : ++_sequence);
      w.U32(requestId);
      w.Raw(body.data() + pos, part);
      w.PatchU32(4, static_cast<uint32_t>(w.Size()));
      if (!All(send, fd, w.Bytes().data(), w.Size())) return false;
    }
    return true;
  }
  void Serve(int fd) {
    const Bytes ack = Captured("ack.bin", false);
    for (uint8_t head[kChunkHeaderSize]; All(recv, fd, head, sizeof head);) {
      Bytes chunk(ParseChunkHeader(head, sizeof head).size - kChunkHeaderSize);
      if (!All(recv, fd, chunk.data(), chunk.size())) return;
      const std::string type(reinterpret_cast<char*>(head), 3);
      if (type == "HEL" && All(send, fd, ack.data(), ack.size())) continue;
      if (type != "OPN" && type != "MSG") return;
      Reader r(chunk.data(), chunk.size());
      uint32_t id = ParseSecurityHeaders(type == "OPN", r);
      const uint32_t request = r.NodeIdValue().numeric;
      const bool flood = (request == msgid::kReadRequest && _reads == 1 && _mode == Mode::ForeignFlood) ||
                         (request == msgid::kCloseSessionRequest && _mode == Mode::FloodAtClose);
      while (flood && Answer(fd, "MSG", id + 1000, Bytes(4))) continue;  // chunks nobody asked for
      if (flood) return;
      if (request == msgid::kReadRequest) {
        std::lock_guard<std::mutex> guard(_lock);
        _readRequests.append(chunk.begin(), chunk.end());
      }
      if (request == msgid::kReadRequest && _reads == 1 && _connections == 0 && _mode == Mode::DropWhileLearning)
        return;
      Bytes reply = request == msgid::kOpenSecureChannelRequest ? Captured("open_response.bin")
                    : request == msgid::kGetEndpointsRequest    ? Endpoints()
                    : request == msgid::kCreateSessionRequest   ? Captured("create_session_response.bin")
                    : request == msgid::kActivateSessionRequest ? Captured("activate_session_response.bin")
                    : request == msgid::kCloseSessionRequest    ? Captured("close_session_response.bin")
                    : request == msgid::kWriteRequest           ? WriteResponse()
                    : request != msgid::kReadRequest            ? Bytes()
                    : _reads++ == 0                             ? Captured("read_limits_response.bin")
                                                                : _read;
      if (request == msgid::kOpenSecureChannelRequest) {
        Response open = DecodeResponse(reply.data(), reply.size());
        _channel = open.channelId, _token = open.tokenId;
      }
      if (_mode == Mode::Reordered && request == msgid::kReadRequest && _reads > 1) {
        if (!_held) {
          _held = id;
          continue;
        }
        if (!Answer(fd, "MSG", id, ReadResponse(false, 2.5))) return;
        id = std::exchange(_held, 0);
      }
      if (reply.empty() || !Answer(fd, type.c_str(), id, reply)) return;
    }
  }

  std::string ReadRequests() {
    std::lock_guard<std::mutex> guard(_lock);
    return _readRequests;
  }

  const Mode _mode;
  std::mutex _lock;
  std::string _readRequests;  // every read request's body, in arrival order
  const Bytes _read;          // encoded ahead, so the client's deadline measures the client alone
  int _listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), _port = 0, _reads = 0, _connections = 0;
  uint32_t _channel = 0, _token = 0, _sequence = 0, _held = 0;
  std::thread _thread;
};

TEST(UaHostileServerTest, EveryModeCostsBoundedTimeAndLeavesTheTagNull) {
  const std::tuple<Mode, const char*, bool> cases[] = {
      {Mode::ForeignFlood, " down : ", true},
      {Mode::FloodAtClose, "", false},
      {Mode::HugeArray, "refused : an array of 1048576 where the profile declares a scalar", true},
      {Mode::WrongSequence, "answer with a wrong sequence number 1", true},
      {Mode::DropWhileLearning, "write to node '1:Scalar.Double' skipped : no value of the node's type", false},
      {Mode::Reordered, "", false},
  };
  const auto timeout = 300ms, slack = 1500ms;  // sanitizers slow the client; an unbounded loop takes far longer
  for (const auto& [mode, logged, null] : cases) {
    SCOPED_TRACE(static_cast<int>(mode));
    pemrix::testing::LogCapture log;
    ScriptedServer server(mode);
    const std::string endpoint = "opc.tcp://127.0.0.1:" + std::to_string(server._port);
    auto session = std::make_unique<UaTcpSession>(UaTcpSession::Settings{endpoint, timeout});
    ASSERT_TRUE(session->Reconnect());
    _nodeData node{{1, UA_NODEIDTYPE_STRING, {}}, {}, DataValueBase::Create(DT_DOUBLE)};
    node.nodeId.identifier.string = UA_String_fromChars("Scalar.Double");
    auto start = std::chrono::steady_clock::now();
    if (mode == Mode::DropWhileLearning) {
      // The entry the write holds outlives the connection it was learnt on;
      // the next write, on a new connection, learns the type and lands.
      node.value->SetDouble(2.5);
      EXPECT_EQ(session->Write({&node}), 0);
      EXPECT_EQ(log.Count(" down : connection closed by the server", "ERROR"), 1);
      ASSERT_TRUE(pemrix::testing::WaitUntil([&] { return session->Reconnect(); }, 5s, 20ms));
      EXPECT_EQ(session->Write({&node}), 1);
    } else if (mode == Mode::Reordered) {
      // One node a request, all in flight: each answer lands by its request
      // id, also on two nodes whose GUIDs differ in one byte only.
      UA_deleteMembers(&node.nodeId, &UA_TYPES[UA_TYPES_NODEID]);
      node.nodeId = {1, UA_NODEIDTYPE_GUID, {}};
      node.nodeId.identifier.guid.data1 = 0x11223344;
      _nodeData other{{1, UA_NODEIDTYPE_GUID, {}}, {}, DataValueBase::Create(DT_DOUBLE)};
      other.nodeId.identifier.guid.data1 = 0x55667788;
      EXPECT_EQ(session->Read({&node, &other}, 1), 2);
      EXPECT_EQ(node.value->GetDouble(), 1.5);
      EXPECT_EQ(other.value->GetDouble(), 2.5);
      // Each request names its own node (GUIDs of one namespace once shared an entry).
      const std::string asked = server.ReadRequests();
      EXPECT_NE(std::string::npos, asked.find("\x44\x33\x22\x11"));
      EXPECT_NE(std::string::npos, asked.find("\x88\x77\x66\x55"));
    } else {
      session->Read({&node}, 0);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, timeout + slack);
    EXPECT_EQ(node.value->IsNull(), null);
    EXPECT_FALSE(node.value->IsArray()) << "the server reshaped the tag";
    EXPECT_EQ(*logged ? log.Count(logged, "ERROR") : 1, 1);
    start = std::chrono::steady_clock::now();
    session.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s + slack) << "closing waited on the server";
    UA_deleteMembers(&node.nodeId, &UA_TYPES[UA_TYPES_NODEID]);
  }
}

}  // namespace
