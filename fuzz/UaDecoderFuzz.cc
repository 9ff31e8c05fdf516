// The OPC UA client's decoding of what a server sends: a byte stream of
// chunks (acknowledge, error, secure channel and service messages), each
// message decoded once its final chunk is in. Nothing but DecodeError may
// leave the decoder, and nothing it allocates may outgrow the input.
#include <cstdint>
#include <cstring>
#include <vector>

#include "plinth/UaBinary.h"

using namespace VESK::DAQ::ua;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> body;
  size_t pos = 0;
  while (size - pos >= kChunkHeaderSize) {
    ChunkHeader h = ParseChunkHeader(data + pos, size - pos);
    if (h.size < kChunkHeaderSize || h.size > size - pos) break;
    const uint8_t* p = data + pos + kChunkHeaderSize;
    size_t n = h.size - kChunkHeaderSize;
    pos += h.size;
    try {
      if (std::memcmp(h.type, "ACK", 3) == 0) {
        DecodeAcknowledge(p, n);
      } else if (std::memcmp(h.type, "ERR", 3) == 0) {
        DecodeErrorMessage(p, n);
      } else {
        Reader r(p, n);
        ParseSecurityHeaders(std::memcmp(h.type, "OPN", 3) == 0, r);
        body.insert(body.end(), p + (n - r.Left()), p + n);
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
