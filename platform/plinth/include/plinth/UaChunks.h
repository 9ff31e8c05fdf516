#pragma once
// Chunks of the secure channel as they go on the wire: headers, sequence
// header and body, secured by ChannelSecurity (policy None: in the clear).
//
// Opening is for hostile input: throws DecodeError on anything malformed,
// unsigned or undecryptable, and never reads beyond the chunk.
#include <string>

#include "plinth/UaSecurity.h"

namespace VESK::DAQ::ua {

// What the client puts into the asymmetric security header of OPN chunks.
struct OpenCredentials {
  Bytes ownCertificate;  // empty under policy None
  Bytes peerThumbprint;  // SHA-1 of the server's certificate; empty under None
};

struct ChunkOut {
  const char* type;  // "OPN", "MSG", "CLO"
  char kind;         // 'F' final, 'C' intermediate
  uint32_t channelId;
  uint32_t sequence;
  uint32_t requestId;
};

// One chunk carrying size bytes of a message; OPN chunks are secured
// asymmetrically, the others with the current token.
Bytes SealChunk(const ChannelSecurity& security, const OpenCredentials& credentials, const ChunkOut& out,
                const uint8_t* part, size_t size);

// Body bytes (after the sequence header) one MSG chunk of chunkSize carries.
size_t ChunkRoom(const ChannelSecurity& security, size_t chunkSize);

struct ChunkIn {
  char type[3];
  char kind;
  uint32_t channelId = 0;
  uint32_t tokenId = 0;     // MSG and CLO
  std::string policyUri;    // OPN
  Bytes senderCertificate;  // OPN
  uint32_t sequence = 0;
  uint32_t requestId = 0;
  Bytes body;  // after the sequence header
};

// A whole OPN, MSG or CLO chunk (message header included) checked and
// opened. An OPN chunk is opened with the security as configured; the
// caller compares its sender certificate with the one it expects.
ChunkIn OpenChunk(const ChannelSecurity& security, const uint8_t* chunk, size_t size);

}  // namespace VESK::DAQ::ua
