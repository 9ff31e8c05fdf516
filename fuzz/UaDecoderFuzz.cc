// A server's chunks, each message decoded once its final chunk is in: nothing but DecodeError may leave the decoder.
// The same chunks then go through a secured channel's opening (bad signatures, bad padding, cut-short encrypted
// bodies), and each chunk's body sealed by the peer and altered at one input-chosen byte must open to the body
// or be refused.
#include <openssl/rsa.h>

#include <cstring>

#include "plinth/UaChunks.h"

using namespace VESK::DAQ::ua;

namespace {

struct Peers {
  ChannelSecurity client, server;
  Peers(const char* policy, SecurityMode mode) {
    // Keys made once per process: the harness is about parsing, not key strength.
    static PKey clientKey = OwnKey(EVP_RSA_gen(1024)), serverKey = OwnKey(EVP_RSA_gen(1024));
    client.Configure(*FindPolicy(policy), mode, clientKey, serverKey);
    server.Configure(*FindPolicy(policy), mode, serverKey, clientKey);
    const Bytes a(32, 1), b(32, 2);
    client.InstallToken(1, a, b);
    server.InstallToken(1, b, a);
  }
};

void OpenSecured(const uint8_t* chunk, size_t size, uint8_t flip) {
  static Peers peers[] = {{"Basic256Sha256", SecurityMode::SignAndEncrypt},
                          {"Aes128_Sha256_RsaOaep", SecurityMode::Sign}};
  constexpr size_t kHeader = 16;  // message header and token id
  if (size < kHeader) return;
  for (auto& p : peers) {
    try {
      OpenChunk(p.client, chunk, size);
    } catch (const DecodeError&) {
    }
    Bytes sealed = p.server.SealSymmetric(Bytes(chunk, chunk + kHeader), Bytes(chunk + kHeader, chunk + size));
    if (flip) sealed[flip % sealed.size()] ^= flip;
    try {
      if (p.client.OpenSymmetric(sealed.data(), sealed.size(), kHeader, 1) != Bytes(chunk + kHeader, chunk + size))
        __builtin_trap();  // altered yet accepted
    } catch (const DecodeError&) {
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> body;
  for (size_t pos = 0; size - pos >= kChunkHeaderSize;) {
    ChunkHeader h = ParseChunkHeader(data + pos, size - pos);
    if (h.size < kChunkHeaderSize || h.size > size - pos) break;
    const uint8_t *p = data + pos + kChunkHeaderSize, *end = data + pos + h.size;
    OpenSecured(data + pos, h.size, data[0]);
    pos += h.size;
    try {
      if (std::memcmp(h.type, "ACK", 3) == 0) {
        DecodeAcknowledge(p, end - p);
      } else if (std::memcmp(h.type, "ERR", 3) == 0) {
        DecodeErrorMessage(p, end - p);
      } else {
        Reader r(p, end - p);
        ParseSecurityHeaders(std::memcmp(h.type, "OPN", 3) == 0, r);
        body.insert(body.end(), end - r.Left(), end);
        if (h.chunk == 'F') {
          DecodeResponse(body.data(), body.size(), 1000);
          body.clear();
        }
      }
    } catch (const DecodeError&) {
      body.clear();
    }
  }
  return 0;
}
