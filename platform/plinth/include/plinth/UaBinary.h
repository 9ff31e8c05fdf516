#pragma once
// OPC UA Binary encoding: the built-in types, the transport messages
// (Hello, Acknowledge, Error, chunk headers) and the service messages the
// TCP session uses. Chunk security lives in UaSecurity.h and UaChunks.h.
//
// Decoding is for hostile input: every read is checked against the bytes
// left, every array length against the bytes it would need and against an
// explicit cap before anything is allocated, nesting is bounded. A malformed
// message throws DecodeError and nothing else; the caller drops the
// connection.
#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace VESK::DAQ::ua {

class DecodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Status codes the session acts on.
namespace status {
constexpr uint32_t kGood = 0;
constexpr uint32_t kBadUnexpectedError = 0x80010000;
constexpr uint32_t kBadCommunicationError = 0x80050000;
constexpr uint32_t kBadDecodingError = 0x80070000;
constexpr uint32_t kBadTimeout = 0x800A0000;
constexpr uint32_t kBadSecurityChecksFailed = 0x80130000;
constexpr uint32_t kBadCertificateUntrusted = 0x801A0000;
constexpr uint32_t kBadUserAccessDenied = 0x801F0000;
constexpr uint32_t kBadIdentityTokenInvalid = 0x80200000;
constexpr uint32_t kBadIdentityTokenRejected = 0x80210000;
constexpr uint32_t kBadTooManyOperations = 0x80100000;
constexpr uint32_t kBadSecureChannelIdInvalid = 0x80220000;
constexpr uint32_t kBadSessionIdInvalid = 0x80250000;
constexpr uint32_t kBadSessionClosed = 0x80260000;
constexpr uint32_t kBadSessionNotActivated = 0x80270000;
constexpr uint32_t kBadNodeIdInvalid = 0x80330000;
constexpr uint32_t kBadNodeIdUnknown = 0x80340000;
constexpr uint32_t kBadTypeMismatch = 0x80740000;
constexpr uint32_t kBadRequestTooLarge = 0x80B80000;
constexpr uint32_t kBadSecureChannelTokenUnknown = 0x80870000;
constexpr uint32_t kBadConnectionClosed = 0x80AE0000;
inline bool IsBad(uint32_t code) { return (code & 0x80000000u) != 0; }
}  // namespace status

// Built-in type ids as they appear in a Variant's encoding byte.
enum BuiltIn : uint8_t {
  kNull = 0,
  kBoolean = 1,
  kSByte = 2,
  kByte = 3,
  kInt16 = 4,
  kUInt16 = 5,
  kInt32 = 6,
  kUInt32 = 7,
  kInt64 = 8,
  kUInt64 = 9,
  kFloat = 10,
  kDouble = 11,
  kString = 12,
  kDateTime = 13,
  kGuid = 14,
  kByteString = 15,
  kXmlElement = 16,
  kNodeIdType = 17,
  kExpandedNodeId = 18,
  kStatusCode = 19,
  kQualifiedName = 20,
  kLocalizedText = 21,
  kExtensionObject = 22,
  kDataValue = 23,
  kVariant = 24,
  kDiagnosticInfo = 25,
};

// Binary encoding ids of the messages used (namespace 0, numeric).
namespace msgid {
constexpr uint32_t kServiceFault = 397;
constexpr uint32_t kAnonymousIdentityToken = 321;
constexpr uint32_t kUserNameIdentityToken = 324;
constexpr uint32_t kGetEndpointsRequest = 428;
constexpr uint32_t kGetEndpointsResponse = 431;
constexpr uint32_t kOpenSecureChannelRequest = 446;
constexpr uint32_t kOpenSecureChannelResponse = 449;
constexpr uint32_t kCloseSecureChannelRequest = 452;
constexpr uint32_t kCreateSessionRequest = 461;
constexpr uint32_t kCreateSessionResponse = 464;
constexpr uint32_t kActivateSessionRequest = 467;
constexpr uint32_t kActivateSessionResponse = 470;
constexpr uint32_t kCloseSessionRequest = 473;
constexpr uint32_t kCloseSessionResponse = 476;
constexpr uint32_t kTranslateBrowsePathsRequest = 554;
constexpr uint32_t kTranslateBrowsePathsResponse = 557;
constexpr uint32_t kReadRequest = 631;
constexpr uint32_t kReadResponse = 634;
constexpr uint32_t kWriteRequest = 673;
constexpr uint32_t kWriteResponse = 676;
}  // namespace msgid

// Well-known nodes (namespace 0).
namespace nodes {
constexpr uint32_t kObjectsFolder = 85;
constexpr uint32_t kHierarchicalReferences = 33;
constexpr uint32_t kMaxNodesPerRead = 11705;
constexpr uint32_t kMaxNodesPerWrite = 11707;
}  // namespace nodes

constexpr uint32_t kAttributeValue = 13;

// 100 ns ticks between 1601-01-01 (the wire's epoch) and 1970-01-01.
constexpr int64_t kUnixEpochTicks = 116444736000000000LL;
int64_t TicksToUnixMs(int64_t ticks);
int64_t UnixMsToTicks(int64_t ms);

struct NodeId {
  enum Kind : uint8_t { Numeric = 0, String = 3, Guid = 4, Opaque = 5 };
  uint16_t ns = 0;
  Kind kind = Numeric;
  uint32_t numeric = 0;
  std::string text;  // String: the identifier; Opaque: its bytes
  std::array<uint8_t, 16> guid{};

  static NodeId Num(uint16_t ns, uint32_t id);
  static NodeId Str(uint16_t ns, std::string id);
  bool IsNull() const { return ns == 0 && kind == Numeric && numeric == 0; }
  // "ns=1;s=Line1.Speed", "i=85", ... for log lines and cache keys.
  std::string ToString() const;
  bool operator==(const NodeId& o) const;
  bool operator!=(const NodeId& o) const { return !(*this == o); }
};

// Identifier text as device profiles write it after "<namespace>:":
// "i=<number>", "s=<text>", "g=<8-4-4-4-12 hex>", "b=<base64>"; any other
// text is a string identifier as it stands. False (out untouched) for a
// malformed numeric, GUID or base64 form.
bool ParseNodeIdText(uint16_t ns, const std::string& text, NodeId& out);

struct QualifiedName {
  uint16_t ns = 0;
  std::string name;
};

// A decoded Variant, elements widened: Boolean, the integers up to 32 bits,
// Int64, StatusCode and DateTime (100 ns ticks) in ints; UInt64 in uints;
// Float and Double in reals; String and ByteString in texts. Other built-in
// types are skipped on the wire and keep only their type id (unsupported).
// An array longer than the caller accepts is skipped too: skipped holds its
// length and no element is stored.
struct Variant {
  uint8_t type = kNull;
  bool isArray = false;
  size_t skipped = 0;
  std::vector<int64_t> ints;
  std::vector<uint64_t> uints;
  std::vector<double> reals;
  std::vector<std::string> texts;

  bool Supported() const;
  size_t Size() const;  // element count (1 for a scalar)
};

struct DataValue {
  bool hasValue = false;
  Variant value;
  uint32_t status = status::kGood;
};

// Appends little-endian wire encodings to a byte buffer.
class Writer {
 public:
  void U8(uint8_t v) { _bytes.push_back(v); }
  void Bool(bool v) { U8(v ? 1 : 0); }
  void U16(uint16_t v);
  void U32(uint32_t v);
  void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
  void U64(uint64_t v);
  void I64(int64_t v) { U64(static_cast<uint64_t>(v)); }
  void F32(float v);
  void F64(double v);
  void String(const std::string& v);
  void NullString() { I32(-1); }
  void Raw(const void* data, size_t size);
  void NodeIdValue(const NodeId& id);
  void QualifiedNameValue(const QualifiedName& q);
  // Variant of one built-in type from the widened element vectors (see
  // Variant); the caller fills the vector the type uses.
  void VariantValue(const Variant& v);
  void PatchU32(size_t offset, uint32_t v);

  std::vector<uint8_t>& Bytes() { return _bytes; }
  size_t Size() const { return _bytes.size(); }

 private:
  std::vector<uint8_t> _bytes;
};

// Reads wire encodings from a bounded span; throws DecodeError on any
// overrun or malformed field.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : _p(data), _end(data + size) {}
  size_t Left() const { return static_cast<size_t>(_end - _p); }
  uint8_t U8();
  bool Bool() { return U8() != 0; }
  uint16_t U16();
  uint32_t U32();
  int32_t I32() { return static_cast<int32_t>(U32()); }
  uint64_t U64();
  int64_t I64() { return static_cast<int64_t>(U64()); }
  float F32();
  double F64();
  // Null (-1) reads as empty. Longer than maxLength: DecodeError.
  std::string String(size_t maxLength = kMaxString);
  void Skip(size_t n);
  // An array length (null: 0) no larger than maxCount and than the bytes
  // left allow at minWire bytes per element.
  size_t ArrayLength(size_t maxCount, size_t minWire);
  NodeId NodeIdValue();
  NodeId ExpandedNodeIdValue();  // namespace URI and server index are dropped
  QualifiedName QualifiedNameValue();
  void SkipLocalizedText();
  void SkipExtensionObject();
  void SkipDiagnosticInfo(int depth = 0);
  // maxElements: the longest array whose elements are stored (see Variant).
  Variant VariantValue(int depth = 0, size_t maxElements = kMaxArray);
  DataValue DataValueValue(int depth = 0, size_t maxElements = kMaxArray);

  static constexpr size_t kMaxString = 1 << 20;
  static constexpr size_t kMaxArray = 1 << 20;
  static constexpr int kMaxDepth = 8;

 private:
  void Need(size_t n) const;
  NodeId NodeIdBody(uint8_t encoding);
  void SkipBuiltIn(uint8_t type, int depth);
  void ReadElement(Variant& v, uint8_t type, int depth);
  void SkipElements(uint8_t type, size_t count, int depth);
  const uint8_t* _p;
  const uint8_t* _end;
};

// ---- transport ------------------------------------------------------------

struct ChunkHeader {
  char type[3];   // "HEL", "ACK", "ERR", "OPN", "MSG", "CLO"
  char chunk;     // 'F' final, 'C' intermediate, 'A' abort
  uint32_t size;  // whole chunk, header included
};
constexpr size_t kChunkHeaderSize = 8;
// Throws DecodeError when bytes is shorter than a header.
ChunkHeader ParseChunkHeader(const uint8_t* bytes, size_t size);

// The security and sequence headers of an OPN or MSG chunk (policy None:
// nothing signed); tokenId is 0 for OPN, which carries the policy instead.
struct ChunkSecurity {
  uint32_t channelId = 0;
  uint32_t tokenId = 0;
  uint32_t sequence = 0;
  uint32_t requestId = 0;
};
// Reads those headers, leaving r at the message body. r starts right after
// the 8-byte chunk header.
ChunkSecurity ParseChunkSecurity(bool open, Reader& r);
// The same, answering only the request id.
uint32_t ParseSecurityHeaders(bool open, Reader& r);

struct TransportLimits {
  uint32_t protocolVersion = 0;
  uint32_t receiveBufferSize = 0;
  uint32_t sendBufferSize = 0;
  uint32_t maxMessageSize = 0;  // 0: no limit
  uint32_t maxChunkCount = 0;   // 0: no limit
};
std::vector<uint8_t> EncodeHello(const TransportLimits& ours, const std::string& endpointUrl);
// Body of an ACK (after the 8-byte header).
TransportLimits DecodeAcknowledge(const uint8_t* body, size_t size);
// Body of an ERR: the status and the reason text.
std::pair<uint32_t, std::string> DecodeErrorMessage(const uint8_t* body, size_t size);

// ---- services -------------------------------------------------------------

// A login an endpoint offers.
struct UserTokenPolicy {
  enum Type : int32_t { Anonymous = 0, UserName = 1, Certificate = 2, Issued = 3 };
  std::string policyId;
  int32_t tokenType = Anonymous;
  std::string securityPolicyUri;  // how a secret is encrypted; empty: as the endpoint's channel
};

// One way in that a server offers (byte strings are kept as std::string).
struct EndpointDescription {
  std::string url;
  std::string serverCertificate;  // DER
  int32_t securityMode = 0;       // 1 None, 2 Sign, 3 SignAndEncrypt
  std::string securityPolicyUri;
  std::vector<UserTokenPolicy> tokens;
  uint8_t securityLevel = 0;
};

struct SignatureData {
  std::string algorithm;
  std::string signature;
};

// The login sent with ActivateSession: anonymous, or a user name whose
// secret is the password as the token policy wants it (encrypted when
// encryptionAlgorithm is set).
struct IdentityToken {
  std::string policyId;
  bool userName = false;
  std::string user, secret, encryptionAlgorithm;
};

struct RequestHeader {
  NodeId authenticationToken;
  int64_t timestampTicks = 0;
  uint32_t requestHandle = 0;
  uint32_t timeoutHintMs = 0;
};

struct ReadItem {
  NodeId node;
  uint32_t attribute = kAttributeValue;
  // Not sent: the longest array the caller accepts in the answer (see Variant).
  size_t maxElements = Reader::kMaxArray;
};
struct WriteItem {
  NodeId node;
  std::string indexRange;  // empty: whole value
  Variant value;
};
// Browse path from a starting node along hierarchical references.
struct BrowsePath {
  NodeId start;
  std::vector<QualifiedName> names;
};

// Service request bodies: the type id followed by the request, ready to be
// put into MSG (or, for OpenSecureChannel, OPN) chunks.
// mode and nonce as the channel's security wants them (1 and empty: None).
std::vector<uint8_t> EncodeOpenSecureChannel(const RequestHeader& h, bool renew, int32_t mode, const std::string& nonce,
                                             uint32_t lifetimeMs);
std::vector<uint8_t> EncodeGetEndpoints(const RequestHeader& h, const std::string& endpointUrl);
std::vector<uint8_t> EncodeCloseSecureChannel(const RequestHeader& h);
struct SessionRequest {
  std::string endpointUrl, sessionName, applicationUri;
  std::string clientNonce, clientCertificate;  // certificate empty under policy None
  double timeoutMs = 0;
  uint32_t maxResponseSize = 0;
};
std::vector<uint8_t> EncodeCreateSession(const RequestHeader& h, const SessionRequest& s);
std::vector<uint8_t> EncodeActivateSession(const RequestHeader& h, const SignatureData& clientSignature,
                                           const IdentityToken& token);
std::vector<uint8_t> EncodeCloseSession(const RequestHeader& h);
std::vector<uint8_t> EncodeRead(const RequestHeader& h, const std::vector<ReadItem>& items);
std::vector<uint8_t> EncodeWrite(const RequestHeader& h, const std::vector<WriteItem>& items);
std::vector<uint8_t> EncodeTranslate(const RequestHeader& h, const std::vector<BrowsePath>& paths);
// The same over n items from first (a batch of a longer list).
std::vector<uint8_t> EncodeRead(const RequestHeader& h, const ReadItem* first, size_t n);
std::vector<uint8_t> EncodeWrite(const RequestHeader& h, const WriteItem* first, size_t n);
std::vector<uint8_t> EncodeTranslate(const RequestHeader& h, const BrowsePath* first, size_t n);

struct BrowsePathResult {
  uint32_t status = status::kGood;
  NodeId target;  // the first target (null when none)
};

// One decoded service response. typeId tells which members are filled;
// serviceResult is the response header's (a ServiceFault carries only that).
struct Response {
  uint32_t typeId = 0;
  uint32_t requestHandle = 0;
  uint32_t serviceResult = status::kGood;
  // OpenSecureChannel
  uint32_t channelId = 0, tokenId = 0, revisedLifetimeMs = 0;
  // OpenSecureChannel, CreateSession, ActivateSession
  std::string serverNonce;
  // GetEndpoints, CreateSession
  std::vector<EndpointDescription> endpoints;
  // CreateSession
  NodeId sessionId, authenticationToken;
  double revisedSessionTimeoutMs = 0;
  std::string serverCertificate;
  SignatureData serverSignature;
  uint32_t maxRequestMessageSize = 0;
  // Read
  std::vector<DataValue> values;
  // Write, ActivateSession
  std::vector<uint32_t> results;
  // TranslateBrowsePathsToNodeIds
  std::vector<BrowsePathResult> paths;
};

// Decodes a service response body (type id first). maxResults caps the
// result arrays (the caller knows how many it asked for); elementCaps, when
// given, caps the array length of each read value in turn (see Variant).
// Throws DecodeError.
Response DecodeResponse(const uint8_t* body, size_t size, size_t maxResults = Reader::kMaxArray,
                        const std::vector<size_t>* elementCaps = nullptr);

}  // namespace VESK::DAQ::ua
