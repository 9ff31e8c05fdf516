// A server's chunks, each message decoded once its final chunk is in: nothing but DecodeError may leave the decoder.
#include <cstring>

#include "plinth/UaBinary.h"

using namespace VESK::DAQ::ua;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> body;
  for (size_t pos = 0; size - pos >= kChunkHeaderSize;) {
    ChunkHeader h = ParseChunkHeader(data + pos, size - pos);
    if (h.size < kChunkHeaderSize || h.size > size - pos) break;
    const uint8_t *p = data + pos + kChunkHeaderSize, *end = data + pos + h.size;
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
