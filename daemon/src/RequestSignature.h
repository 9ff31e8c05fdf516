#pragma once
// Signed management requests: who may drive a gateway is decided by Ed25519
// keys, not only by who may publish on its request topic.
//
// A signed request travels as an envelope around the exact text that was
// signed, so no party ever has to re-serialise JSON the same way:
//
//   {"signed_request": "<request text>", "signature": "<base64 of 64 bytes>"}
//
// The signature covers the bytes of the request text (the string's value
// after JSON unescaping) and nothing else. The request text is a JSON object
// that carries, beside its command, the gateway it is meant for and when and
// how uniquely it was made:
//
//   {"command":"restart","id":7,"gateway":"gw01","timestamp":1767100000,"nonce":"9f2c..."}
//
// timestamp: Unix seconds; nonce: 8 to 128 characters of [A-Za-z0-9_-].
//
// Crypto comes from OpenSSL's libcrypto only. Not thread-safe: a verifier
// belongs to the daemon's service thread.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;

namespace VESK {

// One Ed25519 key, public only or a private key (which also verifies).
// Copies share the key.
class SigningKey {
 public:
  // From a PEM text or a PEM file. A file is read without following links,
  // only when it is a small regular file. False with a reason otherwise, or
  // when the key is not Ed25519.
  bool FromPem(const std::string& pem, bool privateKey, std::string& error);
  bool Load(const std::string& path, bool privateKey, std::string& error);

  bool Verify(const std::string& message, const std::string& signature) const;
  // The 64 signature bytes; "" without a private key.
  std::string Sign(const std::string& message) const;
  // Hex of the first 8 bytes of the public key's SHA-256, to name a key in
  // log lines and the operator's output.
  std::string Fingerprint() const;
  bool Valid() const { return _key != nullptr; }

 private:
  std::shared_ptr<EVP_PKEY> _key;
};

// Writes a fresh key pair: the private key as PKCS#8 PEM with mode 0600, the
// public key as PEM with mode 0644. Refuses to replace an existing file.
bool GenerateKeyPair(const std::string& privatePath, const std::string& publicPath, std::string& error);

std::string Base64Encode(const std::string& bytes);
// Strict: canonical padding, no white space; false for anything else.
bool Base64Decode(const std::string& text, std::string& bytes);

// Builds the envelope of request (an object) for gateway: adds "gateway",
// "timestamp" and "nonce" (16 random bytes in hex), serialises it compactly
// and signs that text. "" when the key cannot sign.
std::string SignRequest(const SigningKey& key, nlohmann::json request, const std::string& gateway, int64_t timestamp);

enum class Verdict {
  Ok,            // signed by a trusted key, for us, fresh and new
  Unsigned,      // no envelope at all
  Malformed,     // half an envelope, bad base64, or a request text that is no object
  BadSignature,  // no trusted key verifies it: other key or altered bytes
  OtherGateway,  // made for another gateway
  Stale,         // timestamp outside the window (either side)
  Replayed,      // nonce already seen within the window
};

// The reply message for a refusal ("" for Ok), and a short name for logs.
const char* VerdictMessage(Verdict verdict);
const char* VerdictName(Verdict verdict);

// Trusted keys plus the memory of nonces seen. Nonces are kept for the
// window and at most maxNonces of them: when full, the oldest goes and no
// request at or before its timestamp is accepted any more, so forgetting
// never opens a replay.
class RequestVerifier {
 public:
  static constexpr std::chrono::seconds kDefaultWindow{300};
  static constexpr size_t kDefaultMaxNonces = 4096;

  RequestVerifier() = default;
  RequestVerifier(std::vector<SigningKey> keys, std::string gatewayId, std::chrono::seconds window = kDefaultWindow,
                  size_t maxNonces = kDefaultMaxNonces);

  // With no key, signing is off and every request passes unchanged.
  bool Enabled() const { return !_keys.empty(); }

  // Judges one parsed request message at the Unix time now. request is set
  // to what should be executed (Ok) or answered (refusals): the signed
  // request when its text parsed, else the message itself. A fresh nonce is
  // remembered only when everything else passed.
  Verdict Check(const nlohmann::json& message, nlohmann::json& request, int64_t now);

  size_t RememberedNonces() const { return _nonces.size(); }

 private:
  void Forget(int64_t now);

  std::vector<SigningKey> _keys;
  std::string _gatewayId;
  int64_t _window = kDefaultWindow.count();
  size_t _maxNonces = kDefaultMaxNonces;
  // Timestamp order for expiry, and the nonces themselves for look-up.
  std::set<std::pair<int64_t, std::string>> _byTime;
  std::set<std::string> _nonces;
  // Nothing at or before this may pass: its nonce may have been forgotten.
  int64_t _floor = std::numeric_limits<int64_t>::min();
};

// The signing settings of the daemon's mqtt.json:
//
//   "signing": {"trusted_keys": ["fleet-a.pub.pem", "fleet-b.pub.pem"], "window_seconds": 300}
//
// Paths are resolved against the folder of mqtt.json. Without a "signing"
// member keys stays empty and true is returned (signing off). With one, every
// named key must load; false (each problem logged) otherwise, since a gateway
// meant to be locked must never run open.
bool LoadSigningSettings(const std::string& mqttFile, std::vector<SigningKey>& keys, std::chrono::seconds& window);

}  // namespace VESK
