#include "RequestSignature.h"

#include <easylogging++.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "BoundedJson.h"
#include "ConfigReader.h"

namespace VESK {

namespace {

using json = nlohmann::json;

constexpr size_t kSignatureBytes = 64;
// A PEM key is a few hundred bytes; anything much larger is not one.
constexpr off_t kMaxKeyFileBytes = 16 * 1024;
// The signed text is a request like any other and bounded like one.
constexpr frame::JsonLimits kRequestLimits{1u << 20, 64};
constexpr size_t kMinNonce = 8;
constexpr size_t kMaxNonce = 128;

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;

std::shared_ptr<EVP_PKEY> Shared(EVP_PKEY* key) { return std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free); }

std::string Hex(const unsigned char* data, size_t size) {
  static const char* digits = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += digits[data[i] >> 4];
    text += digits[data[i] & 15];
  }
  return text;
}

// A small regular file, read without following a link and without blocking
// on a FIFO.
bool ReadSmallFile(const std::string& path, std::string& text, std::string& error) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxKeyFileBytes;
  if (!ok) error = "not a regular file of at most 16 KiB";
  text.assign(ok ? static_cast<size_t>(st.st_size) : 0, '\0');
  for (size_t at = 0; ok && at < text.size();) {
    ssize_t n = read(fd, &text[at], text.size() - at);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (!ok) error = "read failed";
    at += ok ? static_cast<size_t>(n) : 0;
  }
  close(fd);
  return ok;
}

// Creates path for a key and writes it; never replaces a file.
bool WriteNewFile(const std::string& path, const std::string& text, mode_t mode, std::string& error) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  // The mode is exact whatever the umask.
  bool ok = fchmod(fd, mode) == 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = (close(fd) == 0) && ok;
  if (!ok) {
    error = path + ": cannot be written";
    unlink(path.c_str());
  }
  return ok;
}

std::string PemOf(EVP_PKEY* key, bool privateKey) {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio) return "";
  const int ok = privateKey ? PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
                            : PEM_write_bio_PUBKEY(bio.get(), key);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return ok == 1 && size > 0 ? std::string(data, static_cast<size_t>(size)) : "";
}

bool IsNonce(const json& value) {
  if (!value.is_string()) return false;
  const std::string& text = value.get_ref<const std::string&>();
  if (text.size() < kMinNonce || text.size() > kMaxNonce) return false;
  for (unsigned char c : text)
    if (!std::isalnum(c) && c != '-' && c != '_') return false;
  return true;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

}  // namespace

// ---- SigningKey ----

bool SigningKey::FromPem(const std::string& pem, bool privateKey, std::string& error) {
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  // No pass-phrase callback: an encrypted key is refused rather than asked for.
  EVP_PKEY* raw = !bio         ? nullptr
                  : privateKey ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, const_cast<char*>(""))
                               : PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr);
  std::shared_ptr<EVP_PKEY> key = raw ? Shared(raw) : nullptr;
  if (!key) {
    error = privateKey ? "no PEM private key" : "no PEM public key";
    return false;
  }
  if (EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519) {
    error = "not an Ed25519 key";
    return false;
  }
  _key = std::move(key);
  return true;
}

bool SigningKey::Load(const std::string& path, bool privateKey, std::string& error) {
  std::string pem;
  return ReadSmallFile(path, pem, error) && FromPem(pem, privateKey, error);
}

bool SigningKey::Verify(const std::string& message, const std::string& signature) const {
  MdCtx ctx(EVP_MD_CTX_new());
  return _key && ctx && signature.size() == kSignatureBytes &&
         EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, _key.get()) == 1 &&
         EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                          reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

std::string SigningKey::Sign(const std::string& message) const {
  MdCtx ctx(EVP_MD_CTX_new());
  std::string signature(kSignatureBytes, '\0');
  size_t size = signature.size();
  const bool ok = _key && ctx && EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, _key.get()) == 1 &&
                  EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(&signature[0]), &size,
                                 reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
  return ok && size == kSignatureBytes ? signature : "";
}

std::string SigningKey::Fingerprint() const {
  unsigned char raw[32];
  size_t size = sizeof raw;
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int mdSize = 0;
  if (!_key || EVP_PKEY_get_raw_public_key(_key.get(), raw, &size) != 1 ||
      EVP_Digest(raw, size, md, &mdSize, EVP_sha256(), nullptr) != 1)
    return "";
  return Hex(md, 8);
}

bool GenerateKeyPair(const std::string& privatePath, const std::string& publicPath, std::string& error) {
  PkeyCtx ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
  EVP_PKEY* raw = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &raw) != 1) {
    error = "key generation failed";
    return false;
  }
  std::shared_ptr<EVP_PKEY> key = Shared(raw);
  const std::string privatePem = PemOf(key.get(), true), publicPem = PemOf(key.get(), false);
  if (privatePem.empty() || publicPem.empty()) {
    error = "key cannot be written as PEM";
    return false;
  }
  if (!WriteNewFile(privatePath, privatePem, 0600, error)) return false;
  if (WriteNewFile(publicPath, publicPem, 0644, error)) return true;
  unlink(privatePath.c_str());  // half a pair is no use
  return false;
}

// ---- Base64 ----

std::string Base64Encode(const std::string& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]),
                                reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return text;
}

bool Base64Decode(const std::string& text, std::string& bytes) {
  // EVP_DecodeBlock skips white space and ignores what padding means; the
  // round trip below makes the accepted form exactly one.
  if (text.empty() || text.size() % 4 != 0 || text.size() > (1u << 20)) return false;
  std::string out(text.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (n < 0) return false;
  size_t padding = 0;
  while (padding < 2 && text[text.size() - 1 - padding] == '=') ++padding;
  out.resize(static_cast<size_t>(n) - padding);
  if (Base64Encode(out) != text) return false;
  bytes = std::move(out);
  return true;
}

std::string SignRequest(const SigningKey& key, json request, const std::string& gateway, int64_t timestamp) {
  unsigned char random[16];
  if (!request.is_object() || RAND_bytes(random, sizeof random) != 1) return "";
  request["gateway"] = gateway;
  request["timestamp"] = timestamp;
  request["nonce"] = Hex(random, sizeof random);
  const std::string text = frame::SafeDump(request);
  const std::string signature = key.Sign(text);
  if (signature.empty()) return "";
  return json{{"signature", Base64Encode(signature)}, {"signed_request", text}}.dump();
}

// ---- Verdicts ----

// Both tables in the enum's order.
const char* VerdictMessage(Verdict verdict) {
  static const char* const messages[] = {"",
                                         "Request not signed!",
                                         "Signed request malformed!",
                                         "Signature not trusted!",
                                         "Request signed for another gateway!",
                                         "Signed request expired!",
                                         "Signed request replayed!"};
  return messages[static_cast<int>(verdict)];
}

const char* VerdictName(Verdict verdict) {
  static const char* const names[] = {"ok",    "unsigned", "malformed", "bad signature", "other gateway",
                                      "stale", "replayed"};
  return names[static_cast<int>(verdict)];
}

// ---- RequestVerifier ----

RequestVerifier::RequestVerifier(std::vector<SigningKey> keys, std::string gatewayId, std::chrono::seconds window,
                                 size_t maxNonces)
    : _keys(std::move(keys)),
      _gatewayId(std::move(gatewayId)),
      _window(window.count()),
      _maxNonces(maxNonces > 0 ? maxNonces : 1) {}

Verdict RequestVerifier::Check(const json& message, json& request, int64_t now) {
  request = message;
  if (!Enabled()) return Verdict::Ok;
  const bool isObject = message.is_object();
  auto text = isObject ? message.find("signed_request") : message.end();
  auto signature = isObject ? message.find("signature") : message.end();
  if (!isObject || (text == message.end() && signature == message.end())) return Verdict::Unsigned;
  const std::string signedText = text != message.end() && text->is_string() ? text->get<std::string>() : "";
  json inner;
  std::string error;
  // Parsed before the signature is known good only to answer with its
  // command and id; nothing in it is believed until the signature passes.
  if (frame::ParseBoundedJson(signedText, inner, error, kRequestLimits) && inner.is_object()) request = inner;
  if (text == message.end() || signature == message.end() || !text->is_string() || !signature->is_string())
    return Verdict::Malformed;
  std::string raw;
  if (!Base64Decode(signature->get_ref<const std::string&>(), raw) || raw.size() != kSignatureBytes)
    return Verdict::Malformed;
  bool trusted = false;
  for (const SigningKey& key : _keys) trusted = trusted || key.Verify(signedText, raw);
  if (!trusted) return Verdict::BadSignature;
  if (!inner.is_object()) return Verdict::Malformed;

  auto gateway = inner.find("gateway"), timestamp = inner.find("timestamp"), nonce = inner.find("nonce");
  if (gateway == inner.end() || !gateway->is_string() || timestamp == inner.end() || !timestamp->is_number_integer() ||
      nonce == inner.end() || !IsNonce(*nonce))
    return Verdict::Malformed;
  if (*gateway != _gatewayId) return Verdict::OtherGateway;
  // Compared without a subtraction that could overflow on a hostile value.
  const int64_t at = timestamp->is_number_unsigned() && timestamp->get<uint64_t>() > INT64_MAX
                         ? std::numeric_limits<int64_t>::max()
                         : timestamp->get<int64_t>();
  if (at < now - _window || at > now + _window || at <= _floor) return Verdict::Stale;
  Forget(now);
  const std::string& id = nonce->get_ref<const std::string&>();
  if (_nonces.count(id)) return Verdict::Replayed;
  if (_nonces.size() >= _maxNonces) {
    auto oldest = _byTime.begin();
    _floor = std::max(_floor, oldest->first);
    _nonces.erase(oldest->second);
    _byTime.erase(oldest);
    if (at <= _floor) return Verdict::Stale;
  }
  _nonces.insert(id);
  _byTime.emplace(at, id);
  return Verdict::Ok;
}

void RequestVerifier::Forget(int64_t now) {
  // A nonce older than the window can only come back with a timestamp the
  // window refuses anyway.
  while (!_byTime.empty() && _byTime.begin()->first < now - _window) {
    _nonces.erase(_byTime.begin()->second);
    _byTime.erase(_byTime.begin());
  }
}

// ---- Settings ----

bool LoadSigningSettings(const std::string& mqttFile, std::vector<SigningKey>& keys, std::chrono::seconds& window) {
  keys.clear();
  frame::ConfigReader reader(mqttFile, false);
  frame::ConfigNode signing = reader.Root().Object("signing");
  if (!signing.Valid()) return reader.Errors() == 0;
  int seconds = static_cast<int>(RequestVerifier::kDefaultWindow.count());
  signing.Read("window_seconds", seconds, frame::IntRange{30, 3600});
  window = std::chrono::seconds(seconds);
  frame::ConfigNode list = signing.Array("trusted_keys", frame::Need::Required);
  for (auto& [name, node] : list.Children()) {
    const json& value = node.Json();
    std::string error = "not a string";
    SigningKey key;
    if (value.is_string()) {
      const std::string& path = value.get_ref<const std::string&>();
      if (key.Load(!path.empty() && path[0] == '/' ? path : FolderOf(mqttFile) + path, false, error)) {
        LOG(INFO) << "Trusted signing key " << key.Fingerprint() << " from " << path;
        keys.push_back(key);
        continue;
      }
    }
    reader.Report(node.Path(), "an Ed25519 public key PEM file (" + error + ")", &value);
  }
  if (list.Valid() && list.Children().empty()) reader.Report(list.Path(), "at least one key file", &list.Json());
  signing.Done();
  if (reader.Errors() > 0) keys.clear();
  return reader.Errors() == 0;
}

}  // namespace VESK
