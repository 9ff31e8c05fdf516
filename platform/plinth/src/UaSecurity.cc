#include "plinth/UaSecurity.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace VESK::DAQ::ua {

namespace {

constexpr const char* kRsaSha256 = "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256";
constexpr const char* kRsaOaep = "http://www.w3.org/2001/04/xmlenc#rsa-oaep";
constexpr size_t kOaepOverhead = 42;  // two SHA-1 digests and two bytes
constexpr size_t kHmacLength = 32;

const SecurityPolicy kPolicies[] = {
    {"None", "http://opcfoundation.org/UA/SecurityPolicy#None", 0, 0, 0, 0, 0, "", ""},
    {"Basic256Sha256", "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256", 32, 32, 32, 2048, 4096, kRsaSha256,
     kRsaOaep},
    {"Aes128_Sha256_RsaOaep", "http://opcfoundation.org/UA/SecurityPolicy#Aes128_Sha256_RsaOaep", 32, 16, 32, 2048,
     4096, kRsaSha256, kRsaOaep},
};

std::string Lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

template <class T>
using Owned = SslOwned<T>;

[[noreturn]] void Fail(const char* what) { throw DecodeError(what); }

// An HMAC-SHA256 context keyed once: every chunk starts it afresh with the
// same key, which spares the algorithm look-up, the key set-up and a context
// per chunk.
std::shared_ptr<EVP_MAC_CTX> KeyedMac(const Bytes& key) {
  static EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);  // shared, read-only after the fetch
  std::shared_ptr<EVP_MAC_CTX> ctx(EVP_MAC_CTX_new(mac), EVP_MAC_CTX_free);
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_END};
  if (!ctx || EVP_MAC_init(ctx.get(), key.data(), key.size(), params) != 1) Fail("HMAC failed");
  return ctx;
}

// HMAC over the concatenation of the parts, written to out (kHmacLength bytes).
void Hmac(EVP_MAC_CTX* keyed, std::initializer_list<std::pair<const uint8_t*, size_t>> parts, uint8_t* out) {
  size_t len = 0;
  bool ok = keyed && EVP_MAC_init(keyed, nullptr, 0, nullptr) == 1;  // the key set up front
  for (const auto& [data, size] : parts) ok = ok && EVP_MAC_update(keyed, data, size) == 1;
  if (!ok || EVP_MAC_final(keyed, out, &len, kHmacLength) != 1 || len != kHmacLength) Fail("HMAC failed");
}

Bytes Hmac(EVP_MAC_CTX* keyed, std::initializer_list<std::pair<const uint8_t*, size_t>> parts) {
  Bytes out(kHmacLength);
  Hmac(keyed, parts, out.data());
  return out;
}

const EVP_CIPHER* Aes(size_t keyLength) {
  // Fetched once: the implicit look-up per call costs more than a chunk's encryption.
  static EVP_CIPHER* aes128 = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
  static EVP_CIPHER* aes256 = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
  return keyLength == 16 ? aes128 : aes256;
}

// An AES-CBC context keyed once for one direction, without padding of its
// own (the chunk carries its padding).
std::shared_ptr<EVP_CIPHER_CTX> KeyedCipher(const Bytes& key, const Bytes& iv, bool encrypt) {
  std::shared_ptr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  if (!ctx || EVP_CipherInit_ex(ctx.get(), Aes(key.size()), nullptr, key.data(), iv.data(), encrypt ? 1 : 0) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1)
    Fail("AES failed");
  return ctx;
}

// Whole blocks through the keys' cipher, in place; every chunk starts
// from the token's IV.
void AesCbc(const SymmetricKeys& keys, uint8_t* data, size_t size) {
  EVP_CIPHER_CTX* ctx = keys.cipher.get();
  int n = 0, tail = 0;
  bool ok = ctx && EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, keys.iv.data(), -1) == 1 &&
            EVP_CipherUpdate(ctx, data, &n, data, static_cast<int>(size)) == 1 &&
            EVP_CipherFinal_ex(ctx, data + n, &tail) == 1;
  if (!ok || static_cast<size_t>(n + tail) != size) Fail("AES failed");
}

Owned<EVP_PKEY_CTX> RsaContext(EVP_PKEY* key, bool encrypt) {
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key, nullptr));
  bool ok = ctx && (encrypt ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get())) == 1 &&
            EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) == 1 &&
            EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha1()) == 1;
  if (!ok) Fail("RSA key unusable");
  return ctx;
}

}  // namespace

PKey OwnKey(EVP_PKEY* key) { return PKey(key, EVP_PKEY_free); }

const char* ModeName(SecurityMode mode) {
  switch (mode) {
    case SecurityMode::None:
      return "None";
    case SecurityMode::Sign:
      return "Sign";
    case SecurityMode::SignAndEncrypt:
      return "SignAndEncrypt";
    default:
      return "Invalid";
  }
}

SecurityMode ParseMode(const std::string& name) {
  for (auto mode : {SecurityMode::None, SecurityMode::Sign, SecurityMode::SignAndEncrypt})
    if (Lower(name) == Lower(ModeName(mode))) return mode;
  return SecurityMode::Invalid;
}

const SecurityPolicy& PolicyNone() { return kPolicies[0]; }

const SecurityPolicy* FindPolicy(const std::string& nameOrUri) {
  for (const auto& p : kPolicies)
    if (Lower(nameOrUri) == Lower(p.name) || nameOrUri == p.uri) return &p;
  return nullptr;
}

Bytes PSha256(const Bytes& secret, const Bytes& seed, size_t length) {
  // A(0) = seed, A(i) = HMAC(secret, A(i-1)); output HMAC(secret, A(i) + seed) ...
  Bytes out, a = seed;
  auto keyed = KeyedMac(secret);
  while (out.size() < length) {
    a = Hmac(keyed.get(), {{a.data(), a.size()}});
    Bytes block = Hmac(keyed.get(), {{a.data(), a.size()}, {seed.data(), seed.size()}});
    out.insert(out.end(), block.begin(), block.end());
  }
  out.resize(length);
  return out;
}

SymmetricKeys DeriveKeys(const SecurityPolicy& policy, const Bytes& secret, const Bytes& seed) {
  size_t sign = policy.signingKeyLength, enc = policy.encryptingKeyLength;
  Bytes all = PSha256(secret, seed, sign + enc + kAesBlock);
  auto at = [&](size_t from, size_t n) { return Bytes(all.begin() + long(from), all.begin() + long(from + n)); };
  return {at(0, sign), at(sign, enc), at(sign + enc, kAesBlock), KeyedMac(at(0, sign)), nullptr};
}

Bytes RandomBytes(size_t n) {
  Bytes out(n);
  if (n > 0 && RAND_bytes(out.data(), static_cast<int>(n)) != 1) Fail("no random bytes");
  return out;
}

Bytes Sha1(const Bytes& data) {
  Bytes out(20);
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_sha1(), nullptr) != 1) Fail("SHA-1 failed");
  return out;
}

std::string Hex(const Bytes& data) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : data) out += {digits[b >> 4], digits[b & 15]};
  return out;
}

size_t KeyBytes(EVP_PKEY* key) { return key ? static_cast<size_t>(std::max(EVP_PKEY_get_size(key), 0)) : 0; }

Bytes SignRsa(EVP_PKEY* key, const Bytes& data) {
  Owned<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  size_t len = KeyBytes(key);
  Bytes out(len);
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
      EVP_DigestSign(ctx.get(), out.data(), &len, data.data(), data.size()) != 1)
    Fail("RSA signing failed");
  out.resize(len);
  return out;
}

bool VerifyRsa(EVP_PKEY* key, const Bytes& data, const Bytes& signature) {
  Owned<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  return ctx && key && EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
         EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), data.data(), data.size()) == 1;
}

Bytes EncryptRsa(EVP_PKEY* key, const Bytes& data) {
  auto ctx = RsaContext(key, true);
  size_t block = KeyBytes(key), plain = block - kOaepOverhead;
  Bytes out;
  for (size_t pos = 0; pos < data.size(); pos += plain) {
    size_t n = std::min(plain, data.size() - pos), len = block;
    out.resize(out.size() + block);
    if (EVP_PKEY_encrypt(ctx.get(), out.data() + out.size() - block, &len, data.data() + pos, n) != 1 || len != block)
      Fail("RSA encryption failed");
  }
  return out;
}

Bytes DecryptRsa(EVP_PKEY* key, const uint8_t* data, size_t size) {
  size_t block = KeyBytes(key);
  if (block == 0 || size == 0 || size % block != 0) Fail("encrypted length is not a whole number of blocks");
  auto ctx = RsaContext(key, false);
  Bytes out, part(block);
  for (size_t pos = 0; pos < size; pos += block) {
    size_t len = part.size();
    if (EVP_PKEY_decrypt(ctx.get(), part.data(), &len, data + pos, block) != 1) Fail("RSA block does not decrypt");
    out.insert(out.end(), part.begin(), part.begin() + long(len));
  }
  return out;
}

Bytes EncryptUserSecret(EVP_PKEY* serverKey, const std::string& password, const Bytes& serverNonce) {
  Writer w;
  w.U32(static_cast<uint32_t>(password.size() + serverNonce.size()));
  w.Raw(password.data(), password.size());
  w.Raw(serverNonce.data(), serverNonce.size());
  Bytes plain = std::move(w.Bytes());
  Bytes out = EncryptRsa(serverKey, plain);
  OPENSSL_cleanse(plain.data(), plain.size());
  return out;
}

void AppendPadding(Bytes& plain, size_t trailer, size_t block, size_t start) {
  bool wide = block > 256;
  size_t used = plain.size() - start + trailer + (wide ? 2 : 1);
  size_t n = (block - used % block) % block;
  plain.insert(plain.end(), n + 1, static_cast<uint8_t>(n & 0xFF));
  if (wide) plain.push_back(static_cast<uint8_t>(n >> 8));
}

size_t StripPadding(const uint8_t* plain, size_t size, size_t block) {
  bool wide = block > 256;
  if (size < (wide ? 2u : 1u)) Fail("no room for padding");
  size_t low = plain[size - (wide ? 2 : 1)];
  size_t n = low + (wide ? size_t(plain[size - 1]) << 8 : 0);
  size_t total = n + (wide ? 2 : 1);
  if (total > size || n >= block) Fail("padding longer than a block");
  for (size_t i = size - total; i < size - (wide ? 1 : 0); ++i)
    if (plain[i] != low) Fail("padding bytes do not match their count");
  return size - total;
}

// ---- chunks -------------------------------------------------------------------

void ChannelSecurity::Configure(const SecurityPolicy& policy, SecurityMode mode, PKey ownKey, PKey peerKey) {
  _policy = &policy;
  _mode = policy.Secured() ? mode : SecurityMode::None;
  _ownKey = std::move(ownKey);
  _peerKey = std::move(peerKey);
  _current = _previous = Token();
}

void ChannelSecurity::InstallToken(uint32_t tokenId, const Bytes& ownNonce, const Bytes& peerNonce) {
  Token t;
  t.id = tokenId;
  if (Secured()) {
    // What we send is keyed by the peer's nonce as the secret, and the reverse.
    t.own = DeriveKeys(*_policy, peerNonce, ownNonce);
    t.peer = DeriveKeys(*_policy, ownNonce, peerNonce);
    t.own.cipher = KeyedCipher(t.own.encrypting, t.own.iv, true);
    t.peer.cipher = KeyedCipher(t.peer.encrypting, t.peer.iv, false);
  }
  _previous = std::move(_current);
  _current = std::move(t);
}

const ChannelSecurity::Token& ChannelSecurity::TokenFor(uint32_t id) const {
  if (id == _current.id) return _current;
  if (id == _previous.id && _previous.id != 0) return _previous;
  Fail("chunk of an unknown security token");
}

size_t ChannelSecurity::SymmetricRoom(size_t chunkSize, size_t headerSize) const {
  size_t avail = chunkSize > headerSize ? chunkSize - headerSize : 0;
  if (!Secured()) return avail;
  if (_mode == SecurityMode::Sign) return avail > kHmacLength ? avail - kHmacLength : 0;
  size_t whole = avail / kAesBlock * kAesBlock;
  return whole > kHmacLength + 1 ? whole - kHmacLength - 1 : 0;
}

Bytes ChannelSecurity::SealAsymmetric(const Bytes& header, const Bytes& body) const {
  Bytes chunk = header;
  if (!Secured()) {
    chunk.insert(chunk.end(), body.begin(), body.end());
    Writer size;
    size.U32(static_cast<uint32_t>(chunk.size()));
    std::memcpy(chunk.data() + 4, size.Bytes().data(), 4);
    return chunk;
  }
  size_t signature = KeyBytes(_ownKey.get()), cipher = KeyBytes(_peerKey.get()), block = cipher - kOaepOverhead;
  Bytes plain = body;
  AppendPadding(plain, signature, block);
  size_t blocks = (plain.size() + signature) / block;
  Writer size;
  size.U32(static_cast<uint32_t>(header.size() + blocks * cipher));
  std::memcpy(chunk.data() + 4, size.Bytes().data(), 4);
  Bytes signedPart = chunk;
  signedPart.insert(signedPart.end(), plain.begin(), plain.end());
  Bytes sig = SignRsa(_ownKey.get(), signedPart);
  plain.insert(plain.end(), sig.begin(), sig.end());
  Bytes secret = EncryptRsa(_peerKey.get(), plain);
  chunk.insert(chunk.end(), secret.begin(), secret.end());
  return chunk;
}

Bytes ChannelSecurity::OpenAsymmetric(const uint8_t* chunk, size_t size, size_t headerSize) const {
  if (headerSize > size) Fail("chunk shorter than its headers");
  if (!Secured()) return Bytes(chunk + headerSize, chunk + size);
  Bytes plain = DecryptRsa(_ownKey.get(), chunk + headerSize, size - headerSize);
  size_t signature = KeyBytes(_peerKey.get());
  if (plain.size() < signature + 8) Fail("chunk shorter than its signature");
  Bytes signedPart(chunk, chunk + headerSize);
  signedPart.insert(signedPart.end(), plain.begin(), plain.end() - long(signature));
  if (!VerifyRsa(_peerKey.get(), signedPart, Bytes(plain.end() - long(signature), plain.end())))
    Fail("chunk signature invalid");
  plain.resize(StripPadding(plain.data(), plain.size() - signature, KeyBytes(_ownKey.get()) - kOaepOverhead));
  return plain;
}

Bytes ChannelSecurity::SealSymmetric(const Bytes& header, const Bytes& body) const {
  // Built in one buffer: padding and signature appended, then encrypted in place.
  Bytes chunk;
  chunk.reserve(header.size() + body.size() + kAesBlock + 1 + kHmacLength);
  chunk.insert(chunk.end(), header.begin(), header.end());
  chunk.insert(chunk.end(), body.begin(), body.end());
  bool encrypt = _mode == SecurityMode::SignAndEncrypt;
  if (encrypt) AppendPadding(chunk, kHmacLength, kAesBlock, header.size());
  Writer size;
  size.U32(static_cast<uint32_t>(chunk.size() + (Secured() ? kHmacLength : 0)));
  std::memcpy(chunk.data() + 4, size.Bytes().data(), 4);
  if (!Secured()) return chunk;
  size_t signedSize = chunk.size();
  chunk.resize(signedSize + kHmacLength);
  Hmac(_current.own.mac.get(), {{chunk.data(), signedSize}}, chunk.data() + signedSize);
  if (encrypt) AesCbc(_current.own, chunk.data() + header.size(), chunk.size() - header.size());
  return chunk;
}

Bytes ChannelSecurity::OpenSymmetric(const uint8_t* chunk, size_t size, size_t headerSize, uint32_t tokenId) const {
  if (headerSize > size) Fail("chunk shorter than its headers");
  if (!Secured()) return Bytes(chunk + headerSize, chunk + size);
  const Token& token = TokenFor(tokenId);
  bool encrypt = _mode == SecurityMode::SignAndEncrypt;
  size_t n = size - headerSize;
  if (encrypt && (n == 0 || n % kAesBlock != 0)) Fail("encrypted length is not a whole number of blocks");
  Bytes plain(chunk + headerSize, chunk + size);
  if (encrypt) AesCbc(token.peer, plain.data(), plain.size());
  if (plain.size() < kHmacLength + 8) Fail("chunk shorter than its signature");
  size_t end = plain.size() - kHmacLength;
  uint8_t mac[kHmacLength];
  Hmac(token.peer.mac.get(), {{chunk, headerSize}, {plain.data(), end}}, mac);
  if (CRYPTO_memcmp(mac, plain.data() + end, kHmacLength) != 0) Fail("chunk signature invalid");
  plain.resize(encrypt ? StripPadding(plain.data(), end, kAesBlock) : end);
  return plain;
}

}  // namespace VESK::DAQ::ua
