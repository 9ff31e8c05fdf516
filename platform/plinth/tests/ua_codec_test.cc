// The codec against bytes captured from the real test server (the fuzz harness's seeds).
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "plinth/UaBinary.h"

using namespace VESK::DAQ::ua;

namespace {

using Bytes = std::vector<uint8_t>;

// The service body of one captured MSG or OPN chunk.
Bytes Body(const std::string& name) {
  std::ifstream in(std::string(PEMRIX_UA_CORPUS) + "/" + name, std::ios::binary);
  const Bytes chunk{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  Reader r(chunk.data() + kChunkHeaderSize, chunk.size() - kChunkHeaderSize);
  ParseSecurityHeaders(chunk[0] == 'O', r);
  return {chunk.end() - static_cast<long>(r.Left()), chunk.end()};
}
Response Decode(const Bytes& b, size_t max = Reader::kMaxArray) { return DecodeResponse(b.data(), b.size(), max); }

// The rest of the captured exchange is decoded by the channel test's server.
TEST(UaCodecTest, DecodesWhatTheServerSent) {
  Response r = Decode(Body("read_response_9.bin"));  // arrays, and a DateTime in ticks
  ASSERT_EQ(r.values.size(), 2u);
  EXPECT_EQ(r.values[0].value.ints, (std::vector<int64_t>{1, 0, 1, 1}));
  std::vector<int64_t> ms;
  for (int64_t t : r.values[1].value.ints) ms.push_back(TicksToUnixMs(t));
  EXPECT_EQ(ms, (std::vector<int64_t>{0, 1924991999999, 86400000, 1}));
  r = Decode(Body("read_response_14.bin"));  // a node whose sensor failed, beside a scalar
  ASSERT_EQ(r.values.size(), 2u);
  EXPECT_EQ(std::make_pair(r.values[0].hasValue, r.values[0].status), std::make_pair(false, 0x808C0000u));
  EXPECT_EQ(std::make_pair(r.values[1].value.ints, r.values[1].value.isArray),
            std::make_pair(std::vector<int64_t>{1}, false));
  EXPECT_EQ(Decode(Body("service_fault_too_many.bin")).serviceResult, status::kBadTooManyOperations);
}

// A DecodeError each, never an allocation the length field asks for.
TEST(UaCodecTest, RefusesMalformedAnswers) {
  const Bytes read = Body("read_response_9.bin");
  const size_t results = 4 + 8 + 4 + 4 + 1 + 4 + 3;  // offset of the results' count
  auto patched = [&](size_t at, Bytes bytes) {
    auto b = read;
    std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<long>(at));
    return b;
  };
  Bytes nested(read.begin(), read.begin() + results);  // the response header, then one value
  for (uint8_t b : {0x01, 0x00, 0x00, 0x00, 0x01}) nested.push_back(b);
  nested.resize(nested.size() + 40, 0x18);  // Variant in Variant in ...
  const std::pair<const char*, Bytes> cases[] = {
      {"cut short", {read.begin(), read.end() - 5}},
      {"results count beyond the message", patched(results, {0xff, 0xff, 0xff, 0x0f})},
      {"element count beyond the message", patched(results + 4 + 2, {0xff, 0xff, 0xff, 0x7f})},
      {"unknown variant type", patched(results + 4 + 1, {0x3f})},
      {"dimensions on a scalar", patched(results + 4 + 1, {0x44})},
      {"unknown node id encoding", patched(0, {0x07})},
      {"nesting without end", nested},
  };
  for (const auto& [what, bytes] : cases) EXPECT_THROW(Decode(bytes), DecodeError) << what;
  EXPECT_THROW(Decode(read, 1), DecodeError) << "more results than asked for";
}

TEST(UaCodecTest, EncodesRequestsTheServerAccepted) {
  auto sent = Body("read_limits_request.bin");
  Reader r(sent.data(), sent.size());
  r.NodeIdValue();                                     // the request's type
  RequestHeader h{r.NodeIdValue(), r.I64(), r.U32()};  // read in order: token, time, handle
  r.U32();                                             // diagnostics
  r.String();                                          // audit entry
  h.timeoutHintMs = r.U32();
  EXPECT_EQ(EncodeRead(h, {{NodeId::Num(0, nodes::kMaxNodesPerRead)}, {NodeId::Num(0, nodes::kMaxNodesPerWrite)}}),
            sent);
}

TEST(UaCodecTest, ParsesNodeIdentifiersAndTimes) {
  const std::pair<const char*, const char*> ids[] = {
      {"i=11705", "i=11705"},         {"s=i=5", "ns=2;s=i=5"},   {"Line1.Speed", "ns=2;s=Line1.Speed"},
      {"b=AQID", "ns=2;b=(3 bytes)"}, {"i=4294967296", nullptr}, {"i=12a", nullptr},
      {"g=72962B91-FA75", nullptr},   {"b=A$==", nullptr}};
  for (const auto& [text, expected] : ids) {
    NodeId id;
    EXPECT_EQ(ParseNodeIdText(text[0] == 'i' ? 0 : 2, text, id) ? id.ToString() : "refused",
              expected ? expected : "refused");
  }
  NodeId guid;  // its first three groups travel little-endian
  ASSERT_TRUE(ParseNodeIdText(2, "g=72962B91-FA75-4AE6-8D28-B404DC7DAF63", guid));
  EXPECT_EQ(guid.ToString(), "ns=2;g=72962b91-fa75-4ae6-8d28-b404dc7daf63");
  EXPECT_EQ(std::make_pair(guid.guid[0], guid.guid[8]), std::make_pair(uint8_t(0x91), uint8_t(0x8D)));
  EXPECT_EQ(TicksToUnixMs(0), -11644473600000);  // "no date" reads as the wire's epoch
  EXPECT_EQ(TicksToUnixMs(INT64_MIN), -11644473600000);
  EXPECT_EQ(UnixMsToTicks(INT64_MAX), INT64_MAX);
  EXPECT_EQ(TicksToUnixMs(UnixMsToTicks(-1)), -1);
}

}  // namespace
