#include "plinth/UaBinary.h"

#include <cstring>
#include <limits>

namespace VESK::DAQ::ua {

namespace {

constexpr size_t kMaxEndpoints = 64;
constexpr size_t kMaxCertificate = 32 * 1024;
constexpr size_t kMaxTokenPolicies = 32;
constexpr size_t kMaxSmallArray = 4096;

// Bytes every element of a fixed-width built-in type takes; 0 for the others.
size_t FixedWidth(uint8_t type) {
  switch (type) {
    case kBoolean:
    case kSByte:
    case kByte:
      return 1;
    case kInt16:
    case kUInt16:
      return 2;
    case kInt32:
    case kUInt32:
    case kFloat:
    case kStatusCode:
      return 4;
    case kInt64:
    case kUInt64:
    case kDouble:
    case kDateTime:
      return 8;
    case kGuid:
      return 16;
    default:
      return 0;
  }
}

// Fewest bytes one element of a built-in type takes on the wire.
size_t MinWire(uint8_t type) {
  switch (type) {
    case kLocalizedText:
    case kDataValue:
    case kVariant:
    case kDiagnosticInfo:
      return 1;
    case kNodeIdType:
    case kExpandedNodeId:
      return 2;
    case kQualifiedName:
      return 6;
    case kExtensionObject:
      return 3;
    default:
      return FixedWidth(type) ? FixedWidth(type) : 4;
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseGuid(const std::string& t, std::array<uint8_t, 16>& out) {
  // 8-4-4-4-12 hex digits; the first three groups go little-endian on the wire.
  if (t.size() != 36 || t[8] != '-' || t[13] != '-' || t[18] != '-' || t[23] != '-') return false;
  std::array<uint8_t, 16> text{};
  size_t k = 0;
  for (size_t i = 0; i < t.size(); i += (t[i] == '-') ? 1 : 2) {
    if (t[i] == '-') continue;
    int hi = HexDigit(t[i]), lo = HexDigit(t[i + 1]);
    if (hi < 0 || lo < 0 || k >= 16) return false;
    text[k++] = static_cast<uint8_t>(hi * 16 + lo);
  }
  if (k != 16) return false;
  static const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (int i = 0; i < 16; ++i) out[i] = text[order[i]];
  return true;
}

bool ParseBase64(const std::string& t, std::string& out) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  uint32_t acc = 0;
  int bits = 0;
  size_t i = 0;
  for (; i < t.size() && t[i] != '='; ++i) {
    size_t v = alphabet.find(t[i]);
    if (v == std::string::npos) return false;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
  }
  for (; i < t.size(); ++i)
    if (t[i] != '=') return false;
  out = std::move(bytes);
  return true;
}

void Header(Writer& w, uint32_t typeId, const RequestHeader& h) {
  w.NodeIdValue(NodeId::Num(0, typeId));
  w.NodeIdValue(h.authenticationToken);
  w.I64(h.timestampTicks);
  w.U32(h.requestHandle);
  w.U32(0);        // returnDiagnostics: none
  w.NullString();  // auditEntryId
  w.U32(h.timeoutHintMs);
  w.NodeIdValue(NodeId());  // additionalHeader: no body
  w.U8(0);
}

void SkipStringArray(Reader& r) {
  size_t n = r.ArrayLength(kMaxSmallArray, 4);
  for (size_t i = 0; i < n; ++i) r.String();
}

void SkipApplicationDescription(Reader& r) {
  r.String();  // applicationUri
  r.String();  // productUri
  r.SkipLocalizedText();
  r.I32();     // applicationType
  r.String();  // gatewayServerUri
  r.String();  // discoveryProfileUri
  SkipStringArray(r);
}

void ReadEndpoints(Reader& r, Response& out) {
  size_t endpoints = r.ArrayLength(kMaxEndpoints, 20);
  for (size_t e = 0; e < endpoints; ++e) {
    EndpointDescription d;
    d.url = r.String(4096);
    SkipApplicationDescription(r);
    d.serverCertificate = r.String(kMaxCertificate);
    d.securityMode = r.I32();
    d.securityPolicyUri = r.String(4096);
    size_t policies = r.ArrayLength(kMaxTokenPolicies, 20);
    for (size_t p = 0; p < policies; ++p) {
      UserTokenPolicy t;
      t.policyId = r.String(4096);
      t.tokenType = r.I32();
      r.String();  // issuedTokenType
      r.String();  // issuerEndpointUrl
      t.securityPolicyUri = r.String(4096);
      d.tokens.push_back(std::move(t));
    }
    r.String();  // transportProfileUri
    d.securityLevel = r.U8();
    out.endpoints.push_back(std::move(d));
  }
}

// A byte string; empty goes as null.
void ByteString(Writer& w, const std::string& b) {
  if (b.empty())
    w.NullString();
  else
    w.String(b);
}

void SkipDiagnosticInfos(Reader& r, size_t maxResults) {
  size_t n = r.ArrayLength(maxResults, 1);
  for (size_t i = 0; i < n; ++i) r.SkipDiagnosticInfo();
}

void ReadStatusArray(Reader& r, std::vector<uint32_t>& out, size_t maxResults) {
  size_t n = r.ArrayLength(maxResults, 4);
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) out.push_back(r.U32());
}

}  // namespace

int64_t TicksToUnixMs(int64_t ticks) {
  // Zero and below stand for "no date"; they read as the wire's epoch.
  if (ticks < 0) ticks = 0;
  int64_t delta = ticks - kUnixEpochTicks;
  int64_t ms = delta / 10000;
  if (delta % 10000 < 0) --ms;  // floor, so times before 1970 do not round up
  return ms;
}

int64_t UnixMsToTicks(int64_t ms) {
  constexpr int64_t lo = -(kUnixEpochTicks / 10000);
  constexpr int64_t hi = (std::numeric_limits<int64_t>::max() - kUnixEpochTicks) / 10000;
  if (ms <= lo) return 0;
  if (ms >= hi) return std::numeric_limits<int64_t>::max();
  return ms * 10000 + kUnixEpochTicks;
}

// ---- NodeId ---------------------------------------------------------------

NodeId NodeId::Num(uint16_t ns, uint32_t id) {
  NodeId n;
  n.ns = ns;
  n.numeric = id;
  return n;
}

NodeId NodeId::Str(uint16_t ns, std::string id) {
  NodeId n;
  n.ns = ns;
  n.kind = String;
  n.text = std::move(id);
  return n;
}

std::string NodeId::ToString() const {
  std::string out = ns ? "ns=" + std::to_string(ns) + ";" : std::string();
  switch (kind) {
    case Numeric:
      return out + "i=" + std::to_string(numeric);
    case String:
      return out + "s=" + text;
    case Guid: {
      static const char* hex = "0123456789abcdef";
      static const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
      out += "g=";
      for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        out += hex[guid[order[i]] >> 4];
        out += hex[guid[order[i]] & 15];
      }
      return out;
    }
    case Opaque:
      return out + "b=(" + std::to_string(text.size()) + " bytes)";
  }
  return out;
}

bool NodeId::operator==(const NodeId& o) const {
  if (ns != o.ns || kind != o.kind) return false;
  switch (kind) {
    case Numeric:
      return numeric == o.numeric;
    case Guid:
      return guid == o.guid;
    default:
      return text == o.text;
  }
}

bool ParseNodeIdText(uint16_t ns, const std::string& text, NodeId& out) {
  std::string prefix = text.substr(0, 2);
  std::string rest = text.size() > 2 ? text.substr(2) : std::string();
  NodeId id;
  id.ns = ns;
  if (prefix == "i=") {
    if (rest.empty() || rest.size() > 10 || rest.find_first_not_of("0123456789") != std::string::npos) return false;
    uint64_t v = std::stoull(rest);
    if (v > std::numeric_limits<uint32_t>::max()) return false;
    id.numeric = static_cast<uint32_t>(v);
  } else if (prefix == "g=") {
    id.kind = NodeId::Guid;
    if (!ParseGuid(rest, id.guid)) return false;
  } else if (prefix == "b=") {
    id.kind = NodeId::Opaque;
    if (!ParseBase64(rest, id.text)) return false;
  } else {
    id.kind = NodeId::String;
    id.text = prefix == "s=" ? rest : text;
  }
  out = std::move(id);
  return true;
}

bool Variant::Supported() const {
  return type == kNull || (type <= kDateTime) || type == kByteString || type == kStatusCode;
}

size_t Variant::Size() const { return ints.size() + uints.size() + reals.size() + texts.size(); }

// ---- Writer ---------------------------------------------------------------

void Writer::U16(uint16_t v) {
  U8(static_cast<uint8_t>(v));
  U8(static_cast<uint8_t>(v >> 8));
}

void Writer::U32(uint32_t v) {
  for (int i = 0; i < 4; ++i) U8(static_cast<uint8_t>(v >> (8 * i)));
}

void Writer::U64(uint64_t v) {
  for (int i = 0; i < 8; ++i) U8(static_cast<uint8_t>(v >> (8 * i)));
}

void Writer::F32(float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, 4);
  U32(bits);
}

void Writer::F64(double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, 8);
  U64(bits);
}

void Writer::String(const std::string& v) {
  I32(static_cast<int32_t>(v.size()));
  Raw(v.data(), v.size());
}

void Writer::Raw(const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  _bytes.insert(_bytes.end(), p, p + size);
}

void Writer::NodeIdValue(const NodeId& id) {
  switch (id.kind) {
    case NodeId::Numeric:
      if (id.ns == 0 && id.numeric <= 0xFF) {
        U8(0x00);
        U8(static_cast<uint8_t>(id.numeric));
      } else if (id.ns <= 0xFF && id.numeric <= 0xFFFF) {
        U8(0x01);
        U8(static_cast<uint8_t>(id.ns));
        U16(static_cast<uint16_t>(id.numeric));
      } else {
        U8(0x02);
        U16(id.ns);
        U32(id.numeric);
      }
      return;
    case NodeId::String:
    case NodeId::Opaque:
      U8(id.kind);
      U16(id.ns);
      String(id.text);
      return;
    case NodeId::Guid:
      U8(0x04);
      U16(id.ns);
      Raw(id.guid.data(), id.guid.size());
      return;
  }
}

void Writer::QualifiedNameValue(const QualifiedName& q) {
  U16(q.ns);
  String(q.name);
}

void Writer::VariantValue(const Variant& v) {
  if (v.type == kNull) {
    U8(0);
    return;
  }
  U8(static_cast<uint8_t>(v.type | (v.isArray ? 0x80 : 0)));
  size_t n = v.Size();
  if (v.isArray) I32(static_cast<int32_t>(n));
  for (size_t i = 0; i < (v.isArray ? n : std::min<size_t>(n, 1)); ++i) {
    switch (v.type) {
      case kBoolean:
      case kSByte:
      case kByte:
        U8(static_cast<uint8_t>(v.ints[i]));
        break;
      case kInt16:
      case kUInt16:
        U16(static_cast<uint16_t>(v.ints[i]));
        break;
      case kInt32:
      case kUInt32:
      case kStatusCode:
        U32(static_cast<uint32_t>(v.ints[i]));
        break;
      case kInt64:
      case kDateTime:
        I64(v.ints[i]);
        break;
      case kUInt64:
        U64(v.uints[i]);
        break;
      case kFloat:
        F32(static_cast<float>(v.reals[i]));
        break;
      case kDouble:
        F64(v.reals[i]);
        break;
      default:  // String, ByteString
        String(v.texts[i]);
        break;
    }
  }
}

void Writer::PatchU32(size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) _bytes.at(offset + i) = static_cast<uint8_t>(v >> (8 * i));
}

// ---- Reader ---------------------------------------------------------------

void Reader::Need(size_t n) const {
  if (Left() < n) throw DecodeError("message ends inside a field");
}

uint8_t Reader::U8() {
  Need(1);
  return *_p++;
}

uint16_t Reader::U16() {
  Need(2);
  uint16_t v = static_cast<uint16_t>(_p[0] | (_p[1] << 8));
  _p += 2;
  return v;
}

uint32_t Reader::U32() {
  Need(4);
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | _p[i];
  _p += 4;
  return v;
}

uint64_t Reader::U64() {
  Need(8);
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | _p[i];
  _p += 8;
  return v;
}

float Reader::F32() {
  uint32_t bits = U32();
  float v;
  std::memcpy(&v, &bits, 4);
  return v;
}

double Reader::F64() {
  uint64_t bits = U64();
  double v;
  std::memcpy(&v, &bits, 8);
  return v;
}

std::string Reader::String(size_t maxLength) {
  int32_t n = I32();
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) > maxLength) throw DecodeError("string longer than allowed");
  Need(static_cast<size_t>(n));
  std::string s(reinterpret_cast<const char*>(_p), static_cast<size_t>(n));
  _p += n;
  return s;
}

void Reader::Skip(size_t n) {
  Need(n);
  _p += n;
}

size_t Reader::ArrayLength(size_t maxCount, size_t minWire) {
  int32_t n = I32();
  if (n < 0) return 0;
  size_t count = static_cast<size_t>(n);
  if (count > maxCount) throw DecodeError("array longer than allowed");
  if (count * minWire > Left()) throw DecodeError("array longer than the message");
  return count;
}

NodeId Reader::NodeIdValue() {
  uint8_t encoding = U8();
  if (encoding & 0xC0) throw DecodeError("node id with expanded flags");
  return NodeIdBody(encoding);
}

NodeId Reader::ExpandedNodeIdValue() {
  uint8_t encoding = U8();
  NodeId id = NodeIdBody(encoding & 0x3F);
  if (encoding & 0x80) String(4096);  // namespace URI
  if (encoding & 0x40) U32();         // server index
  return id;
}

NodeId Reader::NodeIdBody(uint8_t encoding) {
  NodeId id;
  switch (encoding) {
    case 0x00:
      id.numeric = U8();
      break;
    case 0x01:
      id.ns = U8();
      id.numeric = U16();
      break;
    case 0x02:
      id.ns = U16();
      id.numeric = U32();
      break;
    case 0x03:
    case 0x05:
      id.kind = static_cast<NodeId::Kind>(encoding);
      id.ns = U16();
      id.text = String(4096);
      break;
    case 0x04:
      id.kind = NodeId::Guid;
      id.ns = U16();
      Need(16);
      std::memcpy(id.guid.data(), _p, 16);
      _p += 16;
      break;
    default:
      throw DecodeError("unknown node id encoding");
  }
  return id;
}

QualifiedName Reader::QualifiedNameValue() {
  QualifiedName q;
  q.ns = U16();
  q.name = String(4096);
  return q;
}

void Reader::SkipLocalizedText() {
  uint8_t mask = U8();
  if (mask & 0x01) String();
  if (mask & 0x02) String();
}

void Reader::SkipExtensionObject() {
  NodeIdValue();
  uint8_t encoding = U8();
  if (encoding == 1 || encoding == 2) {
    int32_t n = I32();
    if (n > 0) Skip(static_cast<size_t>(n));
  } else if (encoding != 0) {
    throw DecodeError("unknown extension object encoding");
  }
}

void Reader::SkipDiagnosticInfo(int depth) {
  if (depth > kMaxDepth) throw DecodeError("diagnostic info nested too deep");
  uint8_t mask = U8();
  for (uint8_t bit : {0x01, 0x02, 0x04, 0x08})
    if (mask & bit) U32();
  if (mask & 0x10) String();
  if (mask & 0x20) U32();
  if (mask & 0x40) SkipDiagnosticInfo(depth + 1);
}

void Reader::SkipBuiltIn(uint8_t type, int depth) {
  switch (type) {
    case kGuid:
      Skip(16);
      break;
    case kXmlElement:
      String();
      break;
    case kNodeIdType:
      NodeIdValue();
      break;
    case kExpandedNodeId:
      ExpandedNodeIdValue();
      break;
    case kQualifiedName:
      QualifiedNameValue();
      break;
    case kLocalizedText:
      SkipLocalizedText();
      break;
    case kExtensionObject:
      SkipExtensionObject();
      break;
    case kDataValue:
      DataValueValue(depth + 1);
      break;
    case kVariant:
      VariantValue(depth + 1);
      break;
    case kDiagnosticInfo:
      SkipDiagnosticInfo(depth + 1);
      break;
    default:
      throw DecodeError("unknown built-in type");
  }
}

void Reader::ReadElement(Variant& v, uint8_t type, int depth) {
  switch (type) {
    case kBoolean:
      v.ints.push_back(U8() != 0);
      break;
    case kSByte:
      v.ints.push_back(static_cast<int8_t>(U8()));
      break;
    case kByte:
      v.ints.push_back(U8());
      break;
    case kInt16:
      v.ints.push_back(static_cast<int16_t>(U16()));
      break;
    case kUInt16:
      v.ints.push_back(U16());
      break;
    case kInt32:
      v.ints.push_back(I32());
      break;
    case kUInt32:
    case kStatusCode:
      v.ints.push_back(U32());
      break;
    case kInt64:
    case kDateTime:
      v.ints.push_back(I64());
      break;
    case kUInt64:
      v.uints.push_back(U64());
      break;
    case kFloat:
      v.reals.push_back(F32());
      break;
    case kDouble:
      v.reals.push_back(F64());
      break;
    case kString:
    case kByteString:
      v.texts.push_back(String());
      break;
    default:
      SkipBuiltIn(type, depth);
      break;
  }
}

void Reader::SkipElements(uint8_t type, size_t count, int depth) {
  if (size_t width = FixedWidth(type)) return Skip(count * width);  // count * width <= Left(): checked by ArrayLength
  for (size_t i = 0; i < count; ++i) {
    if (type == kString || type == kByteString || type == kXmlElement) {
      int32_t n = I32();
      if (n > 0) Skip(static_cast<size_t>(n));
    } else {
      SkipBuiltIn(type, depth);
    }
  }
}

Variant Reader::VariantValue(int depth, size_t maxElements) {
  if (depth > kMaxDepth) throw DecodeError("variant nested too deep");
  uint8_t mask = U8();
  Variant v;
  v.type = mask & 0x3F;
  if (v.type > kDiagnosticInfo) throw DecodeError("unknown variant type");
  v.isArray = (mask & 0x80) != 0;
  if ((mask & 0x40) && !v.isArray) throw DecodeError("dimensions on a scalar variant");
  if (v.type == kNull) {
    if (v.isArray) I32();
    return v;
  }
  if (v.isArray) {
    size_t n = ArrayLength(kMaxArray, MinWire(v.type));
    if (n > maxElements) {
      v.skipped = n;
      SkipElements(v.type, n, depth);
    } else {
      for (size_t i = 0; i < n; ++i) ReadElement(v, v.type, depth);
    }
    if (mask & 0x40) {
      size_t dims = ArrayLength(64, 4);
      for (size_t i = 0; i < dims; ++i) I32();
    }
  } else {
    ReadElement(v, v.type, depth);
  }
  return v;
}

DataValue Reader::DataValueValue(int depth, size_t maxElements) {
  if (depth > kMaxDepth) throw DecodeError("data value nested too deep");
  DataValue d;
  uint8_t mask = U8();
  if (mask & 0x01) {
    d.hasValue = true;
    d.value = VariantValue(depth + 1, maxElements);
  }
  if (mask & 0x02) d.status = U32();
  if (mask & 0x04) I64();  // source timestamp
  if (mask & 0x10) U16();  // source picoseconds
  if (mask & 0x08) I64();  // server timestamp
  if (mask & 0x20) U16();  // server picoseconds
  return d;
}

// ---- transport ------------------------------------------------------------

ChunkHeader ParseChunkHeader(const uint8_t* bytes, size_t size) {
  if (size < kChunkHeaderSize) throw DecodeError("chunk header cut short");
  ChunkHeader h;
  std::memcpy(h.type, bytes, 3);
  h.chunk = static_cast<char>(bytes[3]);
  Reader r(bytes + 4, 4);
  h.size = r.U32();
  return h;
}

ChunkSecurity ParseChunkSecurity(bool open, Reader& r) {
  ChunkSecurity s;
  s.channelId = r.U32();
  if (open) {
    r.String(4096);  // security policy URI
    r.String();      // sender certificate
    r.String();      // receiver certificate thumbprint
  } else {
    s.tokenId = r.U32();
  }
  s.sequence = r.U32();
  s.requestId = r.U32();
  return s;
}

uint32_t ParseSecurityHeaders(bool open, Reader& r) { return ParseChunkSecurity(open, r).requestId; }

std::vector<uint8_t> EncodeHello(const TransportLimits& ours, const std::string& endpointUrl) {
  Writer w;
  w.Raw("HELF", 4);
  w.U32(0);  // size, patched below
  w.U32(ours.protocolVersion);
  w.U32(ours.receiveBufferSize);
  w.U32(ours.sendBufferSize);
  w.U32(ours.maxMessageSize);
  w.U32(ours.maxChunkCount);
  w.String(endpointUrl);
  w.PatchU32(4, static_cast<uint32_t>(w.Size()));
  return std::move(w.Bytes());
}

TransportLimits DecodeAcknowledge(const uint8_t* body, size_t size) {
  Reader r(body, size);
  TransportLimits l;
  l.protocolVersion = r.U32();
  l.receiveBufferSize = r.U32();
  l.sendBufferSize = r.U32();
  l.maxMessageSize = r.U32();
  l.maxChunkCount = r.U32();
  return l;
}

std::pair<uint32_t, std::string> DecodeErrorMessage(const uint8_t* body, size_t size) {
  Reader r(body, size);
  uint32_t code = r.U32();
  return {code, r.String(4096)};
}

// ---- services -------------------------------------------------------------

std::vector<uint8_t> EncodeOpenSecureChannel(const RequestHeader& h, bool renew, int32_t mode, const std::string& nonce,
                                             uint32_t lifetimeMs) {
  Writer w;
  Header(w, msgid::kOpenSecureChannelRequest, h);
  w.U32(0);  // client protocol version
  w.I32(renew ? 1 : 0);
  w.I32(mode);
  ByteString(w, nonce);
  w.U32(lifetimeMs);
  return std::move(w.Bytes());
}

std::vector<uint8_t> EncodeGetEndpoints(const RequestHeader& h, const std::string& endpointUrl) {
  Writer w;
  Header(w, msgid::kGetEndpointsRequest, h);
  w.String(endpointUrl);
  w.I32(-1);  // locale ids
  w.I32(-1);  // transport profiles: all
  return std::move(w.Bytes());
}

std::vector<uint8_t> EncodeCloseSecureChannel(const RequestHeader& h) {
  Writer w;
  Header(w, msgid::kCloseSecureChannelRequest, h);
  return std::move(w.Bytes());
}

std::vector<uint8_t> EncodeCreateSession(const RequestHeader& h, const SessionRequest& s) {
  Writer w;
  Header(w, msgid::kCreateSessionRequest, h);
  // Client description.
  w.String(s.applicationUri);
  w.String("urn:pemrix:gateway");
  w.U8(0x02);  // localized text: text only
  w.String("Pemrix gateway");
  w.I32(1);  // application type: client
  w.NullString();
  w.NullString();
  w.I32(-1);       // discovery URLs
  w.NullString();  // server URI
  w.String(s.endpointUrl);
  w.String(s.sessionName);
  w.String(s.clientNonce);
  ByteString(w, s.clientCertificate);
  w.F64(s.timeoutMs);
  w.U32(s.maxResponseSize);
  return std::move(w.Bytes());
}

std::vector<uint8_t> EncodeActivateSession(const RequestHeader& h, const SignatureData& clientSignature,
                                           const IdentityToken& token) {
  Writer w;
  Header(w, msgid::kActivateSessionRequest, h);
  ByteString(w, clientSignature.algorithm);
  ByteString(w, clientSignature.signature);
  w.I32(-1);  // client software certificates
  w.I32(-1);  // locale ids
  // The identity token: an extension object with its own length.
  Writer t;
  t.String(token.policyId);
  if (token.userName) {
    t.String(token.user);
    t.String(token.secret);
    ByteString(t, token.encryptionAlgorithm);
  }
  w.NodeIdValue(NodeId::Num(0, token.userName ? msgid::kUserNameIdentityToken : msgid::kAnonymousIdentityToken));
  w.U8(0x01);
  w.I32(static_cast<int32_t>(t.Size()));
  w.Raw(t.Bytes().data(), t.Size());
  w.NullString();  // user token signature: algorithm
  w.NullString();  // and signature
  return std::move(w.Bytes());
}

std::vector<uint8_t> EncodeCloseSession(const RequestHeader& h) {
  Writer w;
  Header(w, msgid::kCloseSessionRequest, h);
  w.Bool(true);  // delete subscriptions
  return std::move(w.Bytes());
}

std::vector<uint8_t> EncodeRead(const RequestHeader& h, const std::vector<ReadItem>& items) {
  return EncodeRead(h, items.data(), items.size());
}

std::vector<uint8_t> EncodeRead(const RequestHeader& h, const ReadItem* items, size_t n) {
  Writer w;
  size_t size = 128;  // header and the read's fields: the body grows once, not byte by byte
  for (size_t i = 0; i < n; ++i) size += 32 + items[i].node.text.size();
  w.Bytes().reserve(size);
  Header(w, msgid::kReadRequest, h);
  w.F64(0);  // max age: a fresh value
  w.I32(3);  // timestamps to return: neither
  w.I32(static_cast<int32_t>(n));
  for (size_t i = 0; i < n; ++i) {
    const ReadItem& item = items[i];
    w.NodeIdValue(item.node);
    w.U32(item.attribute);
    w.NullString();  // index range
    w.QualifiedNameValue({});
  }
  return std::move(w.Bytes());
}

std::vector<uint8_t> EncodeWrite(const RequestHeader& h, const std::vector<WriteItem>& items) {
  return EncodeWrite(h, items.data(), items.size());
}

std::vector<uint8_t> EncodeWrite(const RequestHeader& h, const WriteItem* items, size_t n) {
  Writer w;
  Header(w, msgid::kWriteRequest, h);
  w.I32(static_cast<int32_t>(n));
  for (size_t i = 0; i < n; ++i) {
    const WriteItem& item = items[i];
    w.NodeIdValue(item.node);
    w.U32(kAttributeValue);
    if (item.indexRange.empty())
      w.NullString();
    else
      w.String(item.indexRange);
    w.U8(0x01);  // data value: the value only
    w.VariantValue(item.value);
  }
  return std::move(w.Bytes());
}

std::vector<uint8_t> EncodeTranslate(const RequestHeader& h, const std::vector<BrowsePath>& paths) {
  return EncodeTranslate(h, paths.data(), paths.size());
}

std::vector<uint8_t> EncodeTranslate(const RequestHeader& h, const BrowsePath* paths, size_t n) {
  Writer w;
  Header(w, msgid::kTranslateBrowsePathsRequest, h);
  w.I32(static_cast<int32_t>(n));
  for (size_t i = 0; i < n; ++i) {
    const BrowsePath& path = paths[i];
    w.NodeIdValue(path.start);
    w.I32(static_cast<int32_t>(path.names.size()));
    for (const auto& name : path.names) {
      w.NodeIdValue(NodeId::Num(0, nodes::kHierarchicalReferences));
      w.Bool(false);  // forward
      w.Bool(true);   // and every subtype
      w.QualifiedNameValue(name);
    }
  }
  return std::move(w.Bytes());
}

Response DecodeResponse(const uint8_t* body, size_t size, size_t maxResults, const std::vector<size_t>* elementCaps) {
  Reader r(body, size);
  Response out;
  NodeId type = r.NodeIdValue();
  if (type.ns != 0 || type.kind != NodeId::Numeric) throw DecodeError("response type is not a standard type");
  out.typeId = type.numeric;
  r.I64();  // timestamp
  out.requestHandle = r.U32();
  out.serviceResult = r.U32();
  r.SkipDiagnosticInfo();
  SkipStringArray(r);
  r.SkipExtensionObject();
  switch (out.typeId) {
    case msgid::kOpenSecureChannelResponse:
      r.U32();  // server protocol version
      out.channelId = r.U32();
      out.tokenId = r.U32();
      r.I64();  // created at
      out.revisedLifetimeMs = r.U32();
      out.serverNonce = r.String(1024);
      break;
    case msgid::kGetEndpointsResponse:
      ReadEndpoints(r, out);
      break;
    case msgid::kCreateSessionResponse: {
      out.sessionId = r.NodeIdValue();
      out.authenticationToken = r.NodeIdValue();
      out.revisedSessionTimeoutMs = r.F64();
      out.serverNonce = r.String(1024);
      out.serverCertificate = r.String(kMaxCertificate);
      ReadEndpoints(r, out);
      size_t certificates = r.ArrayLength(kMaxSmallArray, 8);
      for (size_t i = 0; i < certificates; ++i) {
        r.String();
        r.String();
      }
      out.serverSignature.algorithm = r.String(1024);
      out.serverSignature.signature = r.String(8192);
      out.maxRequestMessageSize = r.U32();
      break;
    }
    case msgid::kActivateSessionResponse:
      out.serverNonce = r.String(1024);
      ReadStatusArray(r, out.results, kMaxSmallArray);
      SkipDiagnosticInfos(r, kMaxSmallArray);
      break;
    case msgid::kReadResponse: {
      size_t n = r.ArrayLength(maxResults, 1);
      out.values.reserve(n);
      for (size_t i = 0; i < n; ++i)
        out.values.push_back(
            r.DataValueValue(0, elementCaps && i < elementCaps->size() ? (*elementCaps)[i] : Reader::kMaxArray));
      SkipDiagnosticInfos(r, maxResults);
      break;
    }
    case msgid::kWriteResponse:
      ReadStatusArray(r, out.results, maxResults);
      SkipDiagnosticInfos(r, maxResults);
      break;
    case msgid::kTranslateBrowsePathsResponse: {
      size_t n = r.ArrayLength(maxResults, 8);
      out.paths.reserve(n);
      for (size_t i = 0; i < n; ++i) {
        BrowsePathResult result;
        result.status = r.U32();
        size_t targets = r.ArrayLength(kMaxSmallArray, 6);
        for (size_t t = 0; t < targets; ++t) {
          NodeId target = r.ExpandedNodeIdValue();
          uint32_t remaining = r.U32();
          if (t == 0 && remaining == 0xFFFFFFFFu) result.target = target;
        }
        if (targets == 0 && !status::IsBad(result.status)) result.status = status::kBadNodeIdUnknown;
        out.paths.push_back(std::move(result));
      }
      SkipDiagnosticInfos(r, maxResults);
      break;
    }
    default:  // ServiceFault, CloseSession, or an answer the caller did not ask for
      break;
  }
  return out;
}

}  // namespace VESK::DAQ::ua
