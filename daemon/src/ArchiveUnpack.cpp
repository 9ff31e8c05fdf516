#include "ArchiveUnpack.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <memory>
#include <optional>

namespace VESK {

namespace {

using Reader = std::unique_ptr<archive, decltype(&archive_read_free)>;
using Writer = std::unique_ptr<archive, decltype(&archive_write_free)>;

// The member's path with "." and empty components dropped, or nothing when
// it is absolute or climbs out with "..". "" is the top folder itself.
std::optional<std::string> RelativeInside(const char* path) {
  if (path == nullptr || path[0] == '/') return std::nullopt;
  std::string result, rest = path;
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('/', start);
    if (end == std::string::npos) end = rest.size();
    const std::string part = rest.substr(start, end - start);
    if (part == "..") return std::nullopt;
    if (!part.empty() && part != ".") result += (result.empty() ? "" : "/") + part;
    start = end + 1;
  }
  return result;
}

std::string ErrorText(archive* a) {
  const char* text = archive_error_string(a);
  return text ? text : "unknown error";
}

uint64_t Budget(const std::string& dir, const UnpackLimits& limits) {
  struct statvfs fs {};
  if (statvfs(dir.c_str(), &fs) != 0) return limits.maxBytes;
  const uint64_t available = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
  return available < limits.maxBytes ? available : limits.maxBytes;
}

struct Unpacker {
  archive* in;
  archive* out;
  std::string dest;
  uint64_t budget;
  uint64_t maxEntries;
  uint64_t entries = 0;
  uint64_t declared = 0;  // sizes the headers announce
  uint64_t written = 0;   // bytes really unpacked
  std::string& reason;

  UnpackResult Fail(UnpackResult result, const std::string& why) {
    reason = why;
    return result;
  }

  UnpackResult Member(archive_entry* entry) {
    const char* name = archive_entry_pathname(entry);
    const std::string shown = name ? name : "(no name)";
    const auto type = archive_entry_filetype(entry);
    if ((type != AE_IFREG && type != AE_IFDIR) || archive_entry_hardlink(entry) != nullptr)
      return Fail(UnpackResult::Refused, "member is neither a file nor a folder: " + shown);
    std::optional<std::string> relative = RelativeInside(name);
    if (!relative) return Fail(UnpackResult::Refused, "member outside the archive's folder: " + shown);
    if (++entries > maxEntries) return Fail(UnpackResult::Refused, "more members than " + std::to_string(maxEntries));
    if (type == AE_IFREG && archive_entry_size(entry) > 0) declared += static_cast<uint64_t>(archive_entry_size(entry));
    if (declared > budget)
      return Fail(UnpackResult::Refused, "unpacked size above " + std::to_string(budget) + " bytes");
    if (relative->empty()) return UnpackResult::Ok;  // the top folder: it is dest itself

    archive_entry_set_pathname(entry, (dest + "/" + *relative).c_str());
    if (archive_write_header(out, entry) != ARCHIVE_OK)
      return Fail(UnpackResult::Refused, shown + ": " + ErrorText(out));
    const void* block = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    for (;;) {
      int rc = archive_read_data_block(in, &block, &size, &offset);
      if (rc == ARCHIVE_EOF) break;
      if (rc != ARCHIVE_OK) return Fail(UnpackResult::Unreadable, shown + ": " + ErrorText(in));
      written += size;
      if (written > budget)
        return Fail(UnpackResult::Refused, "unpacked size above " + std::to_string(budget) + " bytes");
      if (archive_write_data_block(out, block, size, offset) != ARCHIVE_OK)
        return Fail(UnpackResult::Refused, shown + ": " + ErrorText(out));
    }
    if (archive_write_finish_entry(out) != ARCHIVE_OK)
      return Fail(UnpackResult::Refused, shown + ": " + ErrorText(out));
    return UnpackResult::Ok;
  }
};

}  // namespace

UnpackResult UnpackArchive(const std::string& archivePath, const std::string& destDir, const UnpackLimits& limits,
                           std::string& reason) {
  // A link, FIFO or device planted under the archive's name is never read.
  int fd = open(archivePath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    reason = "cannot open " + archivePath;
    return UnpackResult::Unreadable;
  }
  std::unique_ptr<int, void (*)(int*)> closer(&fd, [](int* f) { close(*f); });
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    reason = "not a regular file: " + archivePath;
    return UnpackResult::Unreadable;
  }

  Reader in(archive_read_new(), &archive_read_free);
  Writer out(archive_write_disk_new(), &archive_write_free);
  if (!in || !out) {
    reason = "out of memory";
    return UnpackResult::Refused;
  }
  archive_read_support_filter_gzip(in.get());
  archive_read_support_format_tar(in.get());
  // No SECURE_* options: they would also refuse links in destDir's own
  // path (a project under a linked /opt). Inside destDir, a fresh private
  // folder, no link can exist, as no member that makes one is accepted.
  archive_write_disk_set_options(out.get(), ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME);
  if (archive_read_open_fd(in.get(), fd, 1 << 16) != ARCHIVE_OK) {
    reason = ErrorText(in.get());
    return UnpackResult::Unreadable;
  }
  Unpacker unpacker{in.get(), out.get(), destDir, Budget(destDir, limits), limits.maxEntries, 0, 0, 0, reason};
  for (;;) {
    archive_entry* entry = nullptr;
    int rc = archive_read_next_header(in.get(), &entry);
    if (rc == ARCHIVE_EOF) break;
    if (rc != ARCHIVE_OK && rc != ARCHIVE_WARN) {
      reason = ErrorText(in.get());
      return UnpackResult::Unreadable;
    }
    UnpackResult result = unpacker.Member(entry);
    if (result != UnpackResult::Ok) return result;
  }
  // Applies the folders' deferred permissions and times.
  if (archive_write_close(out.get()) != ARCHIVE_OK) {
    reason = ErrorText(out.get());
    return UnpackResult::Refused;
  }
  return UnpackResult::Ok;
}

}  // namespace VESK
