#include "plinth/UaCertificates.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace VESK::DAQ::ua {

namespace {

constexpr size_t kMaxFile = 64 * 1024;

template <class T>
using Owned = SslOwned<T>;

std::string OpenSslError() {
  unsigned long e = ERR_get_error();
  ERR_clear_error();
  char text[256] = "unknown error";
  if (e) ERR_error_string_n(e, text, sizeof text);
  return text;
}

// A regular file of at most kMaxFile bytes, not through a link.
bool ReadSmallFile(const std::string& path, Bytes& out, std::string& why) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    why = path + " : " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && size_t(st.st_size) <= kMaxFile;
  out.resize(ok ? size_t(st.st_size) : 0);
  size_t got = 0;
  while (ok && got < out.size()) {
    ssize_t n = ::read(fd, out.data() + got, out.size() - got);
    if (n <= 0 && errno != EINTR) ok = false;
    if (n > 0) got += size_t(n);
  }
  ::close(fd);
  if (!ok) why = path + " : not a regular file of at most 64 KiB";
  return ok;
}

// PEM when the text says so, DER otherwise.
Owned<X509> ParseX509(const Bytes& bytes) {
  const char pem[] = "-----BEGIN";
  if (bytes.size() > sizeof pem && std::memcmp(bytes.data(), pem, sizeof pem - 1) == 0) {
    Owned<BIO> bio(BIO_new_mem_buf(bytes.data(), int(bytes.size())));
    return Owned<X509>(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  }
  const uint8_t* p = bytes.data();
  return Owned<X509>(d2i_X509(nullptr, &p, long(bytes.size())));
}

Bytes ToDer(X509* x) {
  int n = i2d_X509(x, nullptr);
  Bytes der(n > 0 ? size_t(n) : 0);
  uint8_t* p = der.data();
  if (n > 0) i2d_X509(x, &p);
  return der;
}

bool Describe(X509* x, Certificate& out, std::string& why) {
  out.der = ToDer(x);
  out.key = OwnKey(X509_get_pubkey(x));
  if (!out.key || EVP_PKEY_get_base_id(out.key.get()) != EVP_PKEY_RSA) {
    why = "the certificate has no RSA key";
    return false;
  }
  Owned<BIO> text(BIO_new(BIO_s_mem()));
  X509_NAME_print_ex(text.get(), X509_get_subject_name(x), 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  long n = BIO_get_mem_data(text.get(), &data);
  out.subject.assign(data, size_t(std::max(n, 0L)));
  Owned<GENERAL_NAMES> names(static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(x, NID_subject_alt_name, nullptr, nullptr)));
  for (int i = 0; names && i < sk_GENERAL_NAME_num(names.get()); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
    if (name->type != GEN_URI) continue;
    const ASN1_IA5STRING* uri = name->d.uniformResourceIdentifier;
    out.applicationUri.assign(reinterpret_cast<const char*>(uri->data), size_t(uri->length));
    break;
  }
  return true;
}

bool AddExtension(X509* x, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  bool ok = ext && X509_add_ext(x, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// Writes with mode (a new file only: an existing one is never overwritten).
bool WriteNew(const std::string& path, const Bytes& bytes, mode_t mode, std::string& why) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  bool ok = fd >= 0 && ::write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
  if (!ok) why = path + " : " + std::strerror(errno);
  if (fd >= 0) ::close(fd);
  return ok;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

Bytes FromBio(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return Bytes(data, data + std::max(n, 0L));
}

bool CreateIdentity(const std::string& certPath, const std::string& keyPath, const std::string& uri, std::string& why) {
  PKey key = OwnKey(EVP_RSA_gen(2048));
  Owned<X509> x(X509_new());
  char host[256] = "localhost";
  gethostname(host, sizeof host - 1);
  Bytes serial = RandomBytes(16);
  serial[0] &= 0x7F;
  BIGNUM* bn = BN_bin2bn(serial.data(), int(serial.size()), nullptr);
  bool ok = key && x && bn && X509_set_version(x.get(), 2) == 1 &&
            BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x.get())) != nullptr &&
            X509_gmtime_adj(X509_getm_notBefore(x.get()), -86400) &&
            X509_gmtime_adj(X509_getm_notAfter(x.get()), 20L * 365 * 86400) && X509_set_pubkey(x.get(), key.get()) == 1;
  BN_free(bn);
  X509_NAME* name = X509_get_subject_name(x.get());
  ok = ok &&
       X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Pemrix gateway"),
                                  -1, -1, 0) == 1 &&
       X509_set_issuer_name(x.get(), name) == 1 && AddExtension(x.get(), NID_basic_constraints, "critical,CA:FALSE") &&
       AddExtension(x.get(), NID_key_usage,
                    "critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment,keyCertSign") &&
       AddExtension(x.get(), NID_ext_key_usage, "serverAuth,clientAuth") &&
       AddExtension(x.get(), NID_subject_key_identifier, "hash") &&
       AddExtension(x.get(), NID_authority_key_identifier, "keyid:always") &&
       AddExtension(x.get(), NID_subject_alt_name, "URI:" + uri + ",DNS:" + host) &&
       X509_sign(x.get(), key.get(), EVP_sha256()) > 0;
  if (!ok) {
    why = "cannot create a certificate : " + OpenSslError();
    return false;
  }
  Owned<BIO> certOut(BIO_new(BIO_s_mem())), keyOut(BIO_new(BIO_s_mem()));
  bool der = EndsWith(certPath, ".der");
  ok = (der ? i2d_X509_bio(certOut.get(), x.get()) : PEM_write_bio_X509(certOut.get(), x.get())) == 1 &&
       (EndsWith(keyPath, ".der")
            ? i2d_PrivateKey_bio(keyOut.get(), key.get())
            : PEM_write_bio_PrivateKey(keyOut.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr)) == 1;
  if (!ok) {
    why = "cannot encode the certificate : " + OpenSslError();
    return false;
  }
  Bytes keyBytes = FromBio(keyOut.get());
  ok = WriteNew(keyPath, keyBytes, 0600, why) && WriteNew(certPath, FromBio(certOut.get()), 0644, why);
  OPENSSL_cleanse(keyBytes.data(), keyBytes.size());
  return ok;
}

PKey ParsePrivateKey(const Bytes& bytes) {
  Owned<BIO> bio(BIO_new_mem_buf(bytes.data(), int(bytes.size())));
  const char pem[] = "-----BEGIN";
  if (bytes.size() > sizeof pem && std::memcmp(bytes.data(), pem, sizeof pem - 1) == 0)
    return OwnKey(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  return OwnKey(d2i_PrivateKey_bio(bio.get(), nullptr));
}

}  // namespace

bool Certificate::FromDer(const Bytes& der, Certificate& out, std::string& why) {
  const uint8_t* p = der.data();
  Owned<X509> x(d2i_X509(nullptr, &p, long(der.size())));
  if (!x) {
    why = "not an X.509 certificate";
    ERR_clear_error();
    return false;
  }
  return Describe(x.get(), out, why);
}

bool LoadOrCreateIdentity(const std::string& certificatePath, const std::string& keyPath,
                          const std::string& applicationUri, Identity& out, std::string& why) {
  struct stat st {};
  if (::lstat(certificatePath.c_str(), &st) != 0 && errno == ENOENT && ::lstat(keyPath.c_str(), &st) != 0 &&
      errno == ENOENT && !CreateIdentity(certificatePath, keyPath, applicationUri, why))
    return false;
  Bytes certBytes, keyBytes;
  if (!ReadSmallFile(certificatePath, certBytes, why) || !ReadSmallFile(keyPath, keyBytes, why)) return false;
  Owned<X509> x = ParseX509(certBytes);
  out.privateKey = ParsePrivateKey(keyBytes);
  OPENSSL_cleanse(keyBytes.data(), keyBytes.size());
  if (!x || !out.privateKey) {
    why =
        (x ? keyPath + " : not a private key" : certificatePath + " : not a certificate") + " (" + OpenSslError() + ")";
    return false;
  }
  if (!Describe(x.get(), out.certificate, why)) return false;
  if (X509_check_private_key(x.get(), out.privateKey.get()) != 1) {
    ERR_clear_error();
    why = keyPath + " : not the key of " + certificatePath;
    return false;
  }
  return true;
}

bool TrustedIn(const std::string& folder, const Bytes& der) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return false;
  while (dirent* e = ::readdir(dir.get())) {
    if (e->d_name[0] == '.') continue;
    Bytes bytes;
    std::string ignored;
    if (!ReadSmallFile(folder + "/" + e->d_name, bytes, ignored)) continue;
    Owned<X509> x = ParseX509(bytes);
    ERR_clear_error();
    if (x && ToDer(x.get()) == der) return true;
  }
  return false;
}

}  // namespace VESK::DAQ::ua
