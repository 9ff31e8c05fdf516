#include "plinth/UaChunks.h"

#include <cstring>

namespace VESK::DAQ::ua {

namespace {

constexpr size_t kSymmetricHeader = kChunkHeaderSize + 8;  // + channel id, token id
constexpr size_t kSequenceHeader = 8;
constexpr size_t kMaxCertificate = 32 * 1024;

void ByteString(Writer& w, const Bytes& b) {
  if (b.empty()) return w.NullString();
  w.I32(static_cast<int32_t>(b.size()));
  w.Raw(b.data(), b.size());
}

Bytes ReadByteString(Reader& r, size_t max) {
  std::string s = r.String(max);
  return Bytes(s.begin(), s.end());
}

}  // namespace

Bytes SealChunk(const ChannelSecurity& security, const OpenCredentials& credentials, const ChunkOut& out,
                const uint8_t* part, size_t size) {
  bool open = std::strcmp(out.type, "OPN") == 0;
  Writer header;
  header.Raw(out.type, 3);
  header.U8(static_cast<uint8_t>(out.kind));
  header.U32(0);  // size: set by sealing
  header.U32(out.channelId);
  if (open) {
    header.String(security.Policy().uri);
    ByteString(header, credentials.ownCertificate);
    ByteString(header, credentials.peerThumbprint);
  } else {
    header.U32(security.TokenId());
  }
  Writer body;
  body.U32(out.sequence);
  body.U32(out.requestId);
  body.Raw(part, size);
  return open ? security.SealAsymmetric(header.Bytes(), body.Bytes())
              : security.SealSymmetric(header.Bytes(), body.Bytes());
}

size_t ChunkRoom(const ChannelSecurity& security, size_t chunkSize) {
  size_t room = security.SymmetricRoom(chunkSize, kSymmetricHeader);
  return room > kSequenceHeader ? room - kSequenceHeader : 0;
}

ChunkIn OpenChunk(const ChannelSecurity& security, const uint8_t* chunk, size_t size) {
  ChunkHeader h = ParseChunkHeader(chunk, size);
  if (h.size != size) throw DecodeError("chunk size does not match its header");
  ChunkIn in;
  std::memcpy(in.type, h.type, 3);
  in.kind = h.chunk;
  bool open = std::memcmp(h.type, "OPN", 3) == 0;
  if (!open && std::memcmp(h.type, "MSG", 3) != 0 && std::memcmp(h.type, "CLO", 3) != 0)
    throw DecodeError("unexpected message type");
  Reader r(chunk + kChunkHeaderSize, size - kChunkHeaderSize);
  in.channelId = r.U32();
  Bytes plain;
  if (open) {
    in.policyUri = r.String(256);
    in.senderCertificate = ReadByteString(r, kMaxCertificate);
    ReadByteString(r, 64);  // our thumbprint
    plain = security.OpenAsymmetric(chunk, size, size - r.Left());
  } else {
    in.tokenId = r.U32();
    plain = security.OpenSymmetric(chunk, size, kSymmetricHeader, in.tokenId);
  }
  Reader s(plain.data(), plain.size());
  in.sequence = s.U32();
  in.requestId = s.U32();
  in.body.assign(plain.begin() + kSequenceHeader, plain.end());
  return in;
}

}  // namespace VESK::DAQ::ua
