#include "UploadFile.h"

#include <easylogging++.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

namespace VESK {

struct UploadFile::Digest {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx{EVP_MD_CTX_new(), &EVP_MD_CTX_free};
  bool Init() { return ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1; }
  void Update(const void* data, size_t length) { EVP_DigestUpdate(ctx.get(), data, length); }
};

namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Bytes the folder can still take, counting what truncating the existing
// file at path (when it is one) would give back.
uint64_t AvailableBytes(const std::string& path, bool truncating) {
  struct statvfs fs {};
  if (statvfs(FolderOf(path).c_str(), &fs) != 0) return UINT64_MAX;  // unknown: let the writes tell
  uint64_t available = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
  struct stat st {};
  if (truncating && lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
    available += static_cast<uint64_t>(st.st_blocks) * 512;
  return available;
}

bool WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

UploadFile::UploadFile() = default;

UploadFile::~UploadFile() { Close(); }

UploadFile& UploadFile::operator=(UploadFile&& other) noexcept {
  if (this == &other) return *this;
  Close();
  _fd = other._fd;
  other._fd = -1;
  _path = std::move(other._path);
  _size = other._size;
  _received = other._received;
  _digest = std::move(other._digest);
  return *this;
}

UploadFile::OpenResult UploadFile::Open(const std::string& path, int64_t size, int64_t offset, bool digest) {
  Close();
  if (offset < 0 || offset > size) return OpenResult::OffsetMismatch;
  if (static_cast<uint64_t>(size - offset) > AvailableBytes(path, offset == 0)) return OpenResult::NoSpace;
  // Checked before opening too: opening a device node can have effects of
  // its own. The checks after opening are the ones that count (no race).
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return OpenResult::CannotCreate;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
  if (fd < 0) return OpenResult::CannotCreate;
  auto refuse = [fd](OpenResult result) {
    close(fd);
    return result;
  };
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) return refuse(OpenResult::CannotCreate);
  if (offset == 0 ? ftruncate(fd, 0) != 0 : st.st_size != offset) return refuse(OpenResult::OffsetMismatch);
  if (lseek(fd, 0, SEEK_END) != offset) return refuse(OpenResult::CannotCreate);

  std::unique_ptr<Digest> sha;
  if (digest) {
    sha = std::make_unique<Digest>();
    if (!sha->Init()) return refuse(OpenResult::CannotCreate);
    std::vector<char> buffer(1 << 16);
    for (int64_t at = 0; at < offset;) {
      ssize_t n = pread(fd, buffer.data(), buffer.size(), at);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return refuse(OpenResult::CannotCreate);
      sha->Update(buffer.data(), static_cast<size_t>(n));
      at += n;
    }
  }
  _fd = fd;
  _path = path;
  _size = size;
  _received = offset;
  _digest = std::move(sha);
  return OpenResult::Ok;
}

bool UploadFile::Append(const void* data, size_t length) {
  if (_fd < 0) return false;
  const uint64_t missing = static_cast<uint64_t>(_size - _received);
  const size_t take = length < missing ? length : static_cast<size_t>(missing);
  if (!WriteAll(_fd, static_cast<const char*>(data), take)) {
    LOG(ERROR) << "Upload cannot be written! " << _path << " : " << std::strerror(errno);
    Remove();
    return false;
  }
  if (_digest) _digest->Update(data, take);
  _received += static_cast<int64_t>(take);
  return true;
}

void UploadFile::Close() {
  if (_fd >= 0) close(_fd);
  _fd = -1;
}

void UploadFile::Remove() {
  Close();
  // Removes the name only: were it replaced by a link meanwhile, the link goes.
  if (!_path.empty()) unlink(_path.c_str());
}

std::string UploadFile::HexDigest() const {
  if (!_digest) return "";
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> copy(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!copy || EVP_MD_CTX_copy_ex(copy.get(), _digest->ctx.get()) != 1 ||
      EVP_DigestFinal_ex(copy.get(), md, &length) != 1)
    return "";
  static const char* hex = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += hex[md[i] >> 4];
    text += hex[md[i] & 15];
  }
  return text;
}

bool IsSha256Hex(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

}  // namespace VESK
