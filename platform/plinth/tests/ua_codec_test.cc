// The UA Binary codec against bytes captured from a real server (node-opcua,
// testing/opcua-server) talking to this client; the captures are also the
// seed corpus of the decoder's fuzz harness.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

#include "plinth/UaBinary.h"

using namespace VESK::DAQ::ua;

namespace {

std::vector<uint8_t> Capture(const std::string& name) {
  std::ifstream in(std::string(PEMRIX_UA_CORPUS) + "/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The service body of one captured MSG or OPN chunk.
std::vector<uint8_t> Body(const std::vector<uint8_t>& chunk) {
  Reader r(chunk.data() + kChunkHeaderSize, chunk.size() - kChunkHeaderSize);
  ParseSecurityHeaders(chunk[0] == 'O', r);
  return {chunk.end() - static_cast<long>(r.Left()), chunk.end()};
}

Response Decode(const std::string& name) {
  auto body = Body(Capture(name));
  return DecodeResponse(body.data(), body.size());
}

std::vector<int64_t> Ms(const Variant& v) {
  std::vector<int64_t> out;
  for (int64_t t : v.ints) out.push_back(TicksToUnixMs(t));
  return out;
}

TEST(UaCodecTest, DecodesWhatTheServerSent) {
  using V = std::vector<DataValue>;
  const std::pair<const char*, std::function<void(const Response&)>> cases[] = {
      {"open_response.bin",
       [](const Response& r) {
         EXPECT_EQ(r.typeId, msgid::kOpenSecureChannelResponse);
         EXPECT_EQ(r.channelId, 1u);
         EXPECT_EQ(r.tokenId, 1u);
         EXPECT_EQ(r.revisedLifetimeMs, 600000u);
       }},
      {"create_session_response.bin",
       [](const Response& r) {
         EXPECT_EQ(r.typeId, msgid::kCreateSessionResponse);
         EXPECT_TRUE(r.anonymousOffered);
         EXPECT_EQ(r.anonymousPolicyId, "anonymous");
         EXPECT_FALSE(r.authenticationToken.IsNull());
       }},
      {"service_fault_too_many.bin",
       [](const Response& r) {
         EXPECT_EQ(r.typeId, msgid::kServiceFault);
         EXPECT_EQ(r.serviceResult, status::kBadTooManyOperations);
       }},
      {"translate_response.bin",
       [](const Response& r) {
         ASSERT_EQ(r.paths.size(), 1u);
         EXPECT_EQ(r.paths[0].target, NodeId::Str(1, "Line1.Speed"));
       }},
      {"write_response.bin", [](const Response& r) { EXPECT_EQ(r.results, std::vector<uint32_t>{0}); }},
      {"read_limits_response.bin",
       [](const Response& r) {
         ASSERT_EQ(r.values.size(), 2u);
         EXPECT_EQ(r.values[1].value.type, kUInt32);
         EXPECT_EQ(r.values[1].value.ints, std::vector<int64_t>{0});
       }},
      // Arrays of every width, and the scalars at their extremes.
      {"read_response_9.bin",
       [](const Response& r) {
         const V& v = r.values;
         ASSERT_EQ(v.size(), 2u);
         EXPECT_EQ(v[0].value.ints, (std::vector<int64_t>{1, 0, 1, 1}));
         EXPECT_EQ(v[1].value.type, kDateTime);
         EXPECT_EQ(Ms(v[1].value), (std::vector<int64_t>{0, 1924991999999, 86400000, 1}));
       }},
      {"read_response_14.bin",
       [](const Response& r) {
         ASSERT_EQ(r.values.size(), 2u);
         EXPECT_FALSE(r.values[0].hasValue);  // a node whose sensor failed
         EXPECT_EQ(r.values[0].status, 0x808C0000u);
         EXPECT_EQ(r.values[1].value.ints, std::vector<int64_t>{1});
         EXPECT_FALSE(r.values[1].value.isArray);
       }},
      {"read_response_15.bin",
       [](const Response& r) {
         ASSERT_EQ(r.values.size(), 2u);
         EXPECT_EQ(Ms(r.values[0].value), std::vector<int64_t>{1704164645678});
         EXPECT_EQ(r.values[1].value.reals, std::vector<double>{-1234.5678});
       }},
  };
  for (const auto& [name, check] : cases) {
    SCOPED_TRACE(name);
    check(Decode(name));
  }

  auto ack = Capture("ack.bin");
  TransportLimits limits = DecodeAcknowledge(ack.data() + kChunkHeaderSize, ack.size() - kChunkHeaderSize);
  EXPECT_EQ(limits.receiveBufferSize, 65536u);
  EXPECT_EQ(limits.maxMessageSize, 4u << 20);  // ours, agreed
}

// Bytes a hostile server could send instead: every one a DecodeError, none
// an allocation the length field asks for.
TEST(UaCodecTest, RefusesMalformedAnswers) {
  auto read = Body(Capture("read_response_9.bin"));
  auto patched = [&](size_t at, std::vector<uint8_t> bytes) {
    auto b = read;
    std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<long>(at));
    return b;
  };
  std::vector<uint8_t> nested = {0x01, 0x00, 0x7a, 0x02};  // ReadResponse, then a header
  nested.resize(4 + 8 + 4 + 4 + 1 + 4 + 3, 0);
  for (uint8_t b : {0x01, 0x00, 0x00, 0x00, 0x01}) nested.push_back(b);  // one DataValue with a value
  for (int i = 0; i < 40; ++i) nested.push_back(0x18);                   // Variant in Variant in ...

  const size_t results = 4 + 8 + 4 + 4 + 1 + 4 + 3;  // offset of the results' count
  const std::pair<const char*, std::vector<uint8_t>> cases[] = {
      {"cut short", {read.begin(), read.end() - 5}},
      {"results count beyond the message", patched(results, {0xff, 0xff, 0xff, 0x0f})},
      {"element count beyond the message", patched(results + 4 + 2, {0xff, 0xff, 0xff, 0x7f})},
      {"unknown variant type", patched(results + 4 + 1, {0x3f})},
      {"dimensions on a scalar", patched(results + 4 + 1, {0x44})},
      {"unknown node id encoding", patched(0, {0x07})},
      {"nesting without end", nested},
  };
  for (const auto& [what, bytes] : cases) {
    EXPECT_THROW(DecodeResponse(bytes.data(), bytes.size()), DecodeError) << what;
  }
  // A count the caller did not ask for is refused before anything is read.
  EXPECT_THROW(DecodeResponse(read.data(), read.size(), 1), DecodeError);
}

TEST(UaCodecTest, EncodesRequestsTheServerAccepted) {
  // The client's Read of the server's operation limits, as captured.
  auto sent = Body(Capture("read_limits_request.bin"));
  Reader r(sent.data(), sent.size());
  r.NodeIdValue();
  RequestHeader h;
  h.authenticationToken = r.NodeIdValue();
  h.timestampTicks = r.I64();
  h.requestHandle = r.U32();
  r.U32();
  r.String();
  h.timeoutHintMs = r.U32();
  EXPECT_EQ(EncodeRead(h, {{NodeId::Num(0, nodes::kMaxNodesPerRead)}, {NodeId::Num(0, nodes::kMaxNodesPerWrite)}}),
            sent);
}

TEST(UaCodecTest, ParsesNodeIdentifiersAndTimes) {
  const std::pair<const char*, const char*> ids[] = {
      {"i=11705", "i=11705"},
      {"s=i=5", "ns=2;s=i=5"},
      {"Line1.Speed", "ns=2;s=Line1.Speed"},
      {"g=72962B91-FA75-4AE6-8D28-B404DC7DAF63", "ns=2;g=72962b91-fa75-4ae6-8d28-b404dc7daf63"},
      {"b=AQID", "ns=2;b=(3 bytes)"},
      {"i=4294967296", nullptr},
      {"i=12a", nullptr},
      {"g=72962B91-FA75", nullptr},
      {"b=A$==", nullptr},
  };
  for (const auto& [text, expected] : ids) {
    NodeId id;
    bool ok = ParseNodeIdText(text[0] == 'i' ? 0 : 2, text, id);
    EXPECT_EQ(ok, expected != nullptr) << text;
    if (ok) {
      EXPECT_EQ(id.ToString(), expected) << text;
    }
  }
  // The guid's first three groups travel little-endian.
  NodeId guid;
  ParseNodeIdText(0, "g=72962B91-FA75-4AE6-8D28-B404DC7DAF63", guid);
  EXPECT_EQ(guid.guid[0], 0x91);
  EXPECT_EQ(guid.guid[8], 0x8D);

  EXPECT_EQ(TicksToUnixMs(0), -11644473600000);  // "no date" reads as the wire's epoch
  EXPECT_EQ(TicksToUnixMs(INT64_MIN), -11644473600000);
  EXPECT_EQ(UnixMsToTicks(INT64_MAX), INT64_MAX);
  EXPECT_EQ(TicksToUnixMs(UnixMsToTicks(-1)), -1);
}

}  // namespace
