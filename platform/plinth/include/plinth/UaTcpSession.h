#pragma once
// A client of a real OPC UA server over opc.tcp (UA Binary) behind the
// OpcUaSession seam: security None, Sign or SignAndEncrypt (UaSecurity.h),
// anonymous or user name login.
//
// States: the channel is Closed, HelloSent (transport up, no secure
// channel), Open, or Renewing (a new token asked for); the session is None,
// Created or Activated. Connected means channel Open and session Activated.
// A secured connection first asks a plain channel for the endpoints, picks
// one, checks the server's certificate against the trusted folder, and then
// opens the secured channel on a new connection.
//
// Blocking: every call is synchronous on the caller's thread and bounded by
// the request time-out (one deadline per exchange, connect and host-name
// lookup included), whatever the server sends: the deadline is checked on
// every turn, and an answer may take at most kMaxChunks chunks and
// kMaxMessageSize bytes, chunks of other requests counted in. A read keeps
// up to kMaxInFlight requests on the channel, each with its own deadline,
// the answers matched by request id. Every answer must carry our channel id,
// a current token, a rising sequence number; a mismatch drops the
// connection.
// Reconnect tries at most once per back-off step (doubling from
// kReconnectMin up to kReconnectMax) and answers false at once in between,
// so a dead server costs one time-out per step, not per cycle; the back-off
// starts again from kReconnectMin only after a connection stayed up for
// kStable, so a server that drops us right after connecting is retried on
// the growing back-off and logged once.
// Values: the caller's value object decides type and shape; an answer of
// another kind, rank or array length is refused (the value set null), and an
// array longer than the declared one is skipped undecoded.
// Threads: not thread-safe; the channel driver serialises every call.
// IsConnected alone may be asked from any thread.
// Ownership: owns its socket; the destructor closes the session and the
// secure channel (bounded by a short time-out) and then the socket.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "plinth/OpcUaSession.h"
#include "plinth/UaBinary.h"
#include "plinth/UaCertificates.h"
#include "plinth/UaChunks.h"

namespace VESK::DAQ {

namespace ua {
class Socket;
}

class UaTcpSession : public OpcUaSession {
 public:
  using Clock = std::chrono::steady_clock;
  using ms = std::chrono::milliseconds;

  struct Settings {
    std::string endpoint;  // opc.tcp://host:port[/path]
    ms requestTimeout{3000};
    ms sessionTimeout{60000};
    ms channelLifetime{3600000};
    std::string securityMode = "None";    // None, Sign, SignAndEncrypt or best
    std::string securityPolicy = "best";  // a policy name or best
    std::string user{}, password{};       // no user: anonymous
    std::string certificate{}, privateKey{}, trusted{};
    std::string applicationUri = "urn:pemrix:gateway:plinth";
    bool Secured() const { return securityMode != "None"; }
    // From the channel settings {"endpoint": ..., "path", "request_timeout_ms",
    // "session_timeout_ms", "channel_lifetime_ms", "security_mode",
    // "security_policy", "user", "password_file", "certificate",
    // "private_key", "application_uri", "trusted"}; relative paths are taken
    // from baseDir. False after one ERROR line per unusable key (unknown keys
    // get a WARNING). Reads the password file.
    static bool FromJson(const nlohmann::json& settings, Settings& out, const std::string& baseDir = "");
  };

  static constexpr ms kReconnectMin{200};
  static constexpr ms kReconnectMax{3000};
  // A connection idle this long is checked before it is used again.
  static constexpr ms kIdleCheck{1000};
  // A connection (or a node's good reads) lasting this long ends an episode:
  // back-off and folded log lines start afresh.
  static constexpr ms kStable{10000};
  // Our own transport limits: the largest chunk and message we accept.
  static constexpr uint32_t kReceiveBufferSize = 65536;
  static constexpr uint32_t kMaxMessageSize = 4 << 20;
  static constexpr uint32_t kMaxChunks = 4096;
  // Requests of one read in flight on the channel at most: enough to keep a
  // server busy while we decode, few enough that the answers waiting to be
  // taken stay a small multiple of one answer's bounds.
  static constexpr size_t kMaxInFlight = 8;

  explicit UaTcpSession(Settings settings);
  ~UaTcpSession() override;
  UaTcpSession(const UaTcpSession&) = delete;
  UaTcpSession& operator=(const UaTcpSession&) = delete;

  bool IsConnected() override { return _connected; }
  bool Reconnect() override;
  int Read(const std::vector<_nodeData*>& nodes, size_t batch) override;
  int Write(const std::vector<_nodeData*>& nodes) override;

  // Closes the session and the secure channel (bounded), then the socket.
  void Close();

  // The client alone: reads the Value attribute of each node as the server
  // sends it (in batches of batch nodes, 0: as the server allows, split and
  // pipelined like Read). False when not connected or the
  // exchange failed; out then holds what was read.
  bool ReadValues(const std::vector<ua::NodeId>& ids, std::vector<ua::DataValue>& out, size_t batch = 0);

  // The server's operation limits as read at connect time (0: none), or
  // lowered by a BadTooManyOperations answer.
  uint32_t MaxNodesPerRead() const { return _maxRead; }
  uint32_t MaxNodesPerWrite() const { return _maxWrite; }
  const Settings& GetSettings() const { return _settings; }

 private:
  // Plain data, stamped with the session generation it was resolved in. An
  // entry is never freed while the session lives (callers may hold it across
  // an exchange that reconnects); a stale one is resolved afresh on its next
  // use and refused by a write that began before the reconnect.
  struct Entry {
    enum State { Ready, Path, Invalid };
    // What every read touches comes first, in as few cache lines as may be.
    uint64_t generation = 0;
    State state = Ready;
    uint8_t type = ua::kNull;  // built-in type of the last value read
    bool isArray = false;
    // The driver's identifier it was made from (its bytes), and its handle
    // (one more than its index in _handles).
    uint16_t sourceNs = 0;
    int sourceType = 0;
    size_t handle = 0;
    std::string source;
    ua::NodeId id;
    std::vector<uint32_t> reported;  // causes logged in this episode of failures
    Clock::time_point goodSince{};   // first good read after a failure
    std::string label;               // "<ns>:<identifier>" as the profile wrote it
    ua::BrowsePath path;
    bool Names(const _nodeData& node) const;  // node's stamp and identifier still name this entry
  };

  enum class ChannelState { Closed, HelloSent, Open, Renewing };
  enum class SessionState { None, Created, Activated };

  bool Open();
  // GetEndpoints on the plain channel, the endpoint chosen, the server's
  // certificate checked and the channel's security configured from it.
  bool Discover();
  const ua::EndpointDescription* ChooseEndpoint(const std::vector<ua::EndpointDescription>& offered);
  bool TrustServer(const ua::EndpointDescription& endpoint);
  bool MakeIdentityToken(const std::string& serverNonce, ua::IdentityToken& out);
  // Servers close idle channels and expire idle sessions: a connection
  // found closed (or idle past the session's or token's lifetime) before a
  // call is reopened at once, not reported as a cycle of nulls.
  void Revive();
  void Drop(const std::string& why);
  bool Handshake(const std::string& host, int port);
  bool OpenChannel(bool renew);
  bool CreateAndActivate();
  void ReadLimits();
  // A request on the wire whose answer we wait for, matched by its request
  // id; each has its own deadline, the request time-out from its sending.
  struct Flight {
    uint32_t requestId = 0;
    Clock::time_point deadline{};
    size_t first = 0, count = 0;  // the items of a batch it carries
    std::vector<uint8_t> body;    // the answer as assembled so far
    size_t chunks = 0;
    bool done = false;
  };

  // One request/response on the secure channel: false (connection dropped)
  // on a transport failure, time-out or undecodable answer.
  bool Exchange(std::vector<uint8_t> body, ua::Response& out, size_t maxResults, const char* type = "MSG",
                const std::vector<size_t>* elementCaps = nullptr);
  // Sends a request and stamps flight with its request id and deadline.
  bool Send(const char* type, const std::vector<uint8_t>& body, Flight& flight);
  bool SendChunks(const char* type, const std::vector<uint8_t>& body, uint32_t requestId, Clock::time_point deadline);
  // Reads chunks until the answer of one of the flights not done is
  // complete, waiting at most until the earliest of their deadlines. Chunks
  // of other requests (answers given up on) are checked and dropped; each
  // call reads at most kMaxChunks chunks of any request, and an answer may
  // grow to kMaxMessageSize bytes and kMaxChunks chunks.
  bool ReceiveAny(std::vector<Flight>& flights);
  bool Decode(const std::vector<uint8_t>& reply, ua::Response& out, size_t maxResults,
              const std::vector<size_t>* elementCaps);
  // Channel id, token and sequence number of an answer's chunk; drops the
  // connection on a mismatch.
  bool CheckChunk(bool open, const ua::ChunkSecurity& s);
  // The log text of an error message the server closed the connection with.
  std::string Refusal(uint32_t code, const std::string& reason) const;
  bool RenewIfDue();
  ua::RequestHeader NextHeader();
  // Drops the connection on answers that say the session or channel is gone.
  bool SessionLost(uint32_t serviceResult);

  // Splits items into batches of at most batch (0: any) and limit (the
  // server's), keeps up to window of them in flight on the channel, and
  // hands each answer, in the order of the items, to take(response, count);
  // encode(first item, count) makes a request body. A BadTooManyOperations
  // answer halves the batch (and lowers limit): the items from that batch on
  // are sent again, the answers still under way dropped as they come. A
  // batch larger than proven (the largest one the server has taken) goes
  // alone, so a server that refuses it costs one request, not a window of
  // them. The channel is renewed, when due, only before the first request,
  // never with requests in flight.
  template <class Item, class Encode, class Take>
  bool Batched(const char* service, uint32_t answerType, const std::vector<Item>& items, uint32_t& limit,
               size_t& proven, size_t batch, size_t window, Encode encode, Take take);
  // Reads in batches of batch nodes, pipelined; values appended to out.
  bool ReadItems(const std::vector<ua::ReadItem>& items, size_t batch, std::vector<ua::DataValue>& out);

  // The node's entry, current in this connection: by the handle the node
  // carries, else looked up by its identifier (and the node stamped).
  Entry* Resolve(_nodeData& node);
  void TranslatePaths(const std::vector<Entry*>& pending);
  void LearnTypes(const std::vector<Entry*>& unknown);
  // One line per node and cause in an episode of failures (see kStable).
  void ReportOnce(Entry& entry, uint32_t code, const std::string& what);
  void ReportGood(Entry& entry);

  Settings _settings;
  std::string _host, _url;
  int _port = 0;
  std::unique_ptr<ua::Socket> _socket;
  std::atomic<bool> _connected{false};
  bool _outageLogged = false, _connectLogged = false;
  std::string _lastFailure;
  std::set<std::pair<std::string, uint32_t>> _refusals;  // service refusals logged in this episode
  Clock::time_point _nextAttempt{}, _connectedAt{};
  ms _backoff = kReconnectMin;

  ChannelState _channel = ChannelState::Closed;
  SessionState _session = SessionState::None;
  ua::ChannelSecurity _security;
  ua::OpenCredentials _credentials;
  std::unique_ptr<ua::Identity> _identity;  // loaded (or created) at the first secured connect
  ua::Certificate _serverCertificate;
  ua::EndpointDescription _endpoint;  // the one chosen
  ua::TransportLimits _peer;
  uint32_t _channelId = 0, _tokenId = 0, _sequence = 0, _requestId = 0, _handle = 0;
  uint32_t _previousToken = 0, _serverSequence = 0;
  Clock::time_point _renewAt{};
  Clock::time_point _lastExchange{};
  ms _lifetime{0};
  ms _sessionTimeout{0};  // as the server granted it
  ua::NodeId _authToken;
  uint32_t _maxRead = 0, _maxWrite = 0;
  size_t _readProven = 0;  // the largest read batch taken on this connection

  uint64_t _generation = 0;  // of the session; counts connections
  // Per node as the device driver names it ("<ns>|<identifier>"); by handle
  // (one more than the index) in _handles. Never removed while we live.
  std::unordered_map<std::string, std::unique_ptr<Entry>> _entries;
  std::vector<Entry*> _handles;
  // Read's working lists, kept from cycle to cycle: a cycle of thousands of
  // nodes allocates none of them anew.
  std::vector<ua::ReadItem> _readItems;
  std::vector<ua::DataValue> _readValues;
  std::vector<Entry*> _readEntries;  // the entry of each item
  std::vector<size_t> _readWhich;    // the node of each item
};

}  // namespace VESK::DAQ
