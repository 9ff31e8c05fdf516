#pragma once
// Message security of the opc.tcp client: the policy table, the keys of a
// secure channel, and sealing (pad, sign, encrypt) and opening (decrypt,
// verify, unpad) of chunks, with OpenSSL's libcrypto doing every
// cryptographic step.
//
// Opening is for hostile input: a chunk whose length, signature or padding
// does not check out throws DecodeError (like the decoder) and nothing is
// read beyond it.
// Threads: ChannelSecurity is used by one channel on one thread at a time.
// Ownership: ChannelSecurity shares the local identity and the peer's public
// key (shared_ptr), so a renewal never outlives the keys it signs with.
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plinth/UaBinary.h"

namespace VESK::DAQ::ua {

using Bytes = std::vector<uint8_t>;

using PKey = std::shared_ptr<EVP_PKEY>;
PKey OwnKey(EVP_PKEY* key);  // takes ownership; null stays null

// The one deleter of the OpenSSL objects we hold.
struct SslFree {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
  void operator()(EVP_MAC_CTX* p) const { EVP_MAC_CTX_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
  void operator()(GENERAL_NAMES* p) const { GENERAL_NAMES_free(p); }
};
template <class T>
using SslOwned = std::unique_ptr<T, SslFree>;

enum class SecurityMode : int32_t { Invalid = 0, None = 1, Sign = 2, SignAndEncrypt = 3 };
const char* ModeName(SecurityMode mode);
// "None", "Sign", "SignAndEncrypt" (any letter case); Invalid otherwise.
SecurityMode ParseMode(const std::string& name);

// What a policy fixes. Both secured policies sign asymmetrically with
// RSA PKCS#1 v1.5 over SHA-256, encrypt asymmetrically with RSA-OAEP
// (SHA-1), sign chunks with HMAC-SHA256 and encrypt them with AES-CBC;
// they differ in the AES key length.
struct SecurityPolicy {
  const char* name;  // "Basic256Sha256"
  const char* uri;
  size_t signingKeyLength;     // HMAC key and signature length; 0: policy None
  size_t encryptingKeyLength;  // AES key length
  size_t nonceLength;
  int minKeyBits, maxKeyBits;       // RSA key sizes the policy allows
  const char* signatureAlgorithm;   // URI sent beside asymmetric signatures
  const char* encryptionAlgorithm;  // URI sent beside encrypted user secrets

  bool Secured() const { return signingKeyLength > 0; }
};
constexpr size_t kAesBlock = 16;

const SecurityPolicy& PolicyNone();
// By short name ("Basic256Sha256", any letter case) or by URI; null when
// the policy is not one we speak.
const SecurityPolicy* FindPolicy(const std::string& nameOrUri);

// The pseudo-random function of the key derivation (HMAC-SHA256 chained).
Bytes PSha256(const Bytes& secret, const Bytes& seed, size_t length);

struct SymmetricKeys {
  Bytes signing, encrypting, iv;
  std::shared_ptr<EVP_MAC_CTX> mac;  // HMAC keyed with signing, started afresh per chunk
  // AES-CBC keyed with encrypting, for the direction the keys serve (set by
  // ChannelSecurity::InstallToken); reset to iv per chunk.
  std::shared_ptr<EVP_CIPHER_CTX> cipher;
};
SymmetricKeys DeriveKeys(const SecurityPolicy& policy, const Bytes& secret, const Bytes& seed);

Bytes RandomBytes(size_t n);
Bytes Sha1(const Bytes& data);
std::string Hex(const Bytes& data);  // lower case, no separators

// RSA PKCS#1 v1.5 with SHA-256 (both policies).
Bytes SignRsa(EVP_PKEY* key, const Bytes& data);
bool VerifyRsa(EVP_PKEY* key, const Bytes& data, const Bytes& signature);
// RSA-OAEP (SHA-1) in as many blocks as data needs; throws DecodeError
// when a block does not decrypt.
Bytes EncryptRsa(EVP_PKEY* key, const Bytes& data);
Bytes DecryptRsa(EVP_PKEY* key, const uint8_t* data, size_t size);
size_t KeyBytes(EVP_PKEY* key);

// The password of a user name token as the server wants it: the length
// (password plus nonce), the password, the server's last nonce, encrypted
// for the server's certificate key.
Bytes EncryptUserSecret(EVP_PKEY* serverKey, const std::string& password, const Bytes& serverNonce);

// The sender side and the receiver side of a chunk as they lie on the
// wire: `header` is the message header and the security header; `body`
// starts with the sequence header.
class ChannelSecurity {
 public:
  // Policy None until configured.
  ChannelSecurity() = default;
  void Configure(const SecurityPolicy& policy, SecurityMode mode, PKey ownKey, PKey peerKey);

  const SecurityPolicy& Policy() const { return *_policy; }
  SecurityMode Mode() const { return _mode; }
  bool Secured() const { return _mode == SecurityMode::Sign || _mode == SecurityMode::SignAndEncrypt; }

  // The keys of a token from both nonces (ours sent, theirs received). The
  // previous token's keys still open chunks until the peer uses the new one.
  void InstallToken(uint32_t tokenId, const Bytes& ownNonce, const Bytes& peerNonce);
  uint32_t TokenId() const { return _current.id; }

  // The most body bytes (sequence header included) one chunk of chunkSize
  // bytes carries after a header of headerSize bytes.
  size_t SymmetricRoom(size_t chunkSize, size_t headerSize) const;

  // The chunk ready to send, its size field (bytes 4..7) set.
  Bytes SealAsymmetric(const Bytes& header, const Bytes& body) const;
  Bytes SealSymmetric(const Bytes& header, const Bytes& body) const;

  // Checks one received chunk (headerSize bytes of headers, then the
  // secured part) and returns the sequence header and body, signature and
  // padding removed. Throws DecodeError on anything that does not check.
  Bytes OpenAsymmetric(const uint8_t* chunk, size_t size, size_t headerSize) const;
  Bytes OpenSymmetric(const uint8_t* chunk, size_t size, size_t headerSize, uint32_t tokenId) const;

 private:
  struct Token {
    uint32_t id = 0;
    SymmetricKeys own, peer;
  };
  const Token& TokenFor(uint32_t id) const;

  const SecurityPolicy* _policy = &PolicyNone();
  SecurityMode _mode = SecurityMode::None;
  PKey _ownKey, _peerKey;
  Token _current, _previous;
};

// Padding of an encrypted chunk: a count byte, that many copies of it, and
// for blocks above 256 bytes a second (high) count byte. Exposed for the
// tests and the fuzz harness.
// The encrypted part of plain begins at start.
void AppendPadding(Bytes& plain, size_t trailer, size_t block, size_t start = 0);
// Length of plain without its padding; throws DecodeError when malformed.
size_t StripPadding(const uint8_t* plain, size_t size, size_t block);

}  // namespace VESK::DAQ::ua
