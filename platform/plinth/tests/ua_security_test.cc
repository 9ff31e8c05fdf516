// Message security: key derivation, chunks sealed by one side opened by the other, and anything altered refused.
#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include "TestSupport.h"
#include "plinth/UaCertificates.h"
#include "plinth/UaChunks.h"

using namespace VESK::DAQ::ua;

namespace {

Bytes Range(uint8_t from, size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(from + i);
  return b;
}

TEST(UaSecurityTest, DerivesKeysAsTheRfcPseudoRandomFunction) {
  // Computed independently (Python's hmac module).
  EXPECT_EQ(Hex(PSha256(Range(0, 32), Range(100, 32), 80)),
            "5d667f3542df4c0d18c2edc05d8fecbf7beb6a0a0403e76e1e91719689d1ecd81cdf20ea137039545580dbadc02dc68572e6506f4"
            "8406debe0a2f12bc59e7c015e6332cea56dc081cef88b3e8fc6629c");
  auto keys = DeriveKeys(*FindPolicy("aes128_sha256_rsaoaep"), Range(0, 32), Range(100, 32));
  EXPECT_EQ(std::make_tuple(keys.signing.size(), keys.encrypting.size(), keys.iv.size()), std::make_tuple(32, 16, 16));
}

TEST(UaSecurityTest, PaddingRoundTripsAndMalformedPaddingIsRefused) {
  for (size_t block : {16u, 214u, 470u})
    for (size_t n = 0; n < 40; n += 7) {
      Bytes plain = Range(1, n);
      AppendPadding(plain, 32, block);
      EXPECT_EQ((plain.size() + 32) % block, 0u);
      EXPECT_EQ(StripPadding(plain.data(), plain.size(), block), n);
    }
  const Bytes bad[] = {{}, {5, 5, 5}, {9, 2, 3, 3}, {1, 1, 16}};
  for (const auto& b : bad) EXPECT_THROW(StripPadding(b.data(), b.size(), 16), DecodeError) << Hex(b);
}

class UaChunkTest : public ::testing::Test {
 protected:
  static PKey Rsa(unsigned bits) { return OwnKey(EVP_RSA_gen(bits)); }
  static inline PKey clientKey = Rsa(2048), serverKey = Rsa(2048);
  ChannelSecurity client, server;

  void Pair(const char* policy, SecurityMode mode) {
    client.Configure(*FindPolicy(policy), mode, clientKey, serverKey);
    server.Configure(*FindPolicy(policy), mode, serverKey, clientKey);
    Bytes a = RandomBytes(32), b = RandomBytes(32);
    client.InstallToken(1, a, b);
    server.InstallToken(1, b, a);
  }
};

TEST_F(UaChunkTest, ChunksOpenOnTheOtherSideAndRefuseAnyChange) {
  const Bytes body = Range(0, 200);
  for (const char* policy : {"Basic256Sha256", "Aes128_Sha256_RsaOaep"})
    for (auto mode : {SecurityMode::Sign, SecurityMode::SignAndEncrypt})
      for (const char* type : {"MSG", "OPN"}) {
        SCOPED_TRACE(std::string(policy) + " " + ModeName(mode) + " " + type);
        Pair(policy, mode);
        const OpenCredentials credentials{Bytes(700, 0x30), Sha1(Bytes(3, 1))};
        Bytes chunk = SealChunk(client, credentials, {type, 'F', 7, 41, 42}, body.data(), body.size());
        ChunkIn in = OpenChunk(server, chunk.data(), chunk.size());
        EXPECT_EQ(std::make_tuple(in.channelId, in.sequence, in.requestId, in.body), std::make_tuple(7, 41, 42, body));
        EXPECT_EQ(in.senderCertificate, type[0] == 'O' ? credentials.ownCertificate : Bytes());
        for (size_t at : {size_t(9), size_t(20), chunk.size() / 2, chunk.size() - 1}) {
          Bytes altered = chunk;
          altered[at] ^= 0x40;
          EXPECT_THROW(OpenChunk(server, altered.data(), altered.size()), DecodeError) << "byte " << at;
        }
        Bytes cut(chunk.begin(), chunk.end() - 16);
        cut[4] = uint8_t(cut.size());
        cut[5] = uint8_t(cut.size() >> 8);
        EXPECT_THROW(OpenChunk(server, cut.data(), cut.size()), DecodeError) << "truncated";
      }
  EXPECT_EQ(ChunkRoom(client, 8192) + 16 + 8 + 33, 8192u);  // SignAndEncrypt: one padding byte and the signature
  Bytes other = SealChunk(client, {}, {"MSG", 'F', 7, 1, 1}, nullptr, 0);
  other[12] = 2;  // a token the server never issued
  EXPECT_THROW(OpenChunk(server, other.data(), other.size()), DecodeError);
}

TEST(UaCertificateTest, CreatesTheIdentityOnceAndFindsTrustedCertificates) {
  pemrix::testing::TempDir dir{"pemrix-uacert"};
  Identity first, again;
  std::string why;
  ASSERT_TRUE(LoadOrCreateIdentity(dir.File("own.pem"), dir.File("own.key"), "urn:test:gw", first, why)) << why;
  ASSERT_TRUE(LoadOrCreateIdentity(dir.File("own.pem"), dir.File("own.key"), "urn:other", again, why)) << why;
  EXPECT_EQ(again.certificate.der, first.certificate.der);
  EXPECT_EQ(again.certificate.applicationUri, "urn:test:gw");
  EXPECT_EQ(KeyBytes(again.privateKey.get()), 256u);
  EXPECT_TRUE(TrustedIn(dir.Path(), first.certificate.der));
  EXPECT_FALSE(TrustedIn(dir.Path(), Bytes(first.certificate.der.begin(), first.certificate.der.end() - 1)));
  EXPECT_FALSE(LoadOrCreateIdentity(dir.File("own.pem"), dir.File("missing.key"), "urn:x", again, why));
  EXPECT_NE(why.find("missing.key"), std::string::npos) << why;
}

}  // namespace
