#include "Repack.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <vector>

namespace VESK::ctl {

namespace {

using Reader = std::unique_ptr<archive, decltype(&archive_read_free)>;
using Writer = std::unique_ptr<archive, decltype(&archive_write_free)>;

// The operator's own file, but still bounded: a project is configuration.
constexpr size_t kMaxMembers = 65536;

Reader OpenReader(const std::string& path) {
  Reader reader(archive_read_new(), &archive_read_free);
  archive_read_support_filter_gzip(reader.get());
  archive_read_support_format_tar(reader.get());
  if (archive_read_open_filename(reader.get(), path.c_str(), 64 * 1024) != ARCHIVE_OK) reader.reset();
  return reader;
}

// The first path component of name ("Project" of "./Project/a.json"), with
// the rest in *rest ("a.json"; "" for the folder itself).
std::string TopOf(std::string name, std::string* rest) {
  while (name.rfind("./", 0) == 0) name.erase(0, 2);
  const size_t slash = name.find('/');
  if (rest) *rest = slash == std::string::npos ? "" : name.substr(slash + 1);
  return name.substr(0, slash);
}

}  // namespace

TempFile::~TempFile() {
  if (!_path.empty()) unlink(_path.c_str());
}

bool TempFile::Make(const std::string& suffix) {
  const char* dir = std::getenv("TMPDIR");
  std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/pemrix-ctl-XXXXXX" + suffix;
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = mkstemps(name.data(), static_cast<int>(suffix.size()));
  if (fd < 0) return false;
  close(fd);
  _path = name.data();
  return true;
}

bool RepackSingleTopFolder(const std::string& path, TempFile& out, std::string& error) {
  // First pass: the shape.
  Reader reader = OpenReader(path);
  if (!reader) return error = path + ": not a gzip-compressed tar archive", false;
  std::string top;
  bool single = true, topIsFolder = false;
  size_t members = 0;
  archive_entry* entry = nullptr;
  int rc;
  while ((rc = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
    if (++members > kMaxMembers) return error = path + ": more than 65536 members", false;
    std::string rest;
    const std::string first = TopOf(archive_entry_pathname(entry) ? archive_entry_pathname(entry) : "", &rest);
    if (first.empty() || first == ".") continue;  // "./" itself
    if (top.empty()) top = first;
    if (first != top || (rest.empty() && archive_entry_filetype(entry) != AE_IFDIR)) single = false;
    if (rest.empty() && archive_entry_filetype(entry) == AE_IFDIR) topIsFolder = true;
  }
  if (rc != ARCHIVE_EOF) return error = path + ": " + archive_error_string(reader.get()), false;
  if (!single || top.empty() || (!topIsFolder && members == 0)) return true;

  // Second pass: the members inside the folder, renamed.
  reader = OpenReader(path);
  if (!reader || !out.Make(".tar.gz")) return error = "cannot repack " + path, false;
  Writer writer(archive_write_new(), &archive_write_free);
  archive_write_set_format_pax_restricted(writer.get());
  archive_write_add_filter_gzip(writer.get());
  if (archive_write_open_filename(writer.get(), out.Path().c_str()) != ARCHIVE_OK)
    return error = "cannot write " + out.Path(), false;
  std::vector<char> buffer(64 * 1024);
  while ((rc = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
    std::string rest;
    TopOf(archive_entry_pathname(entry) ? archive_entry_pathname(entry) : "", &rest);
    while (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.empty()) continue;  // the folder itself
    archive_entry_set_pathname(entry, rest.c_str());
    if (archive_write_header(writer.get(), entry) != ARCHIVE_OK) break;
    for (la_ssize_t n; (n = archive_read_data(reader.get(), buffer.data(), buffer.size())) > 0;)
      if (archive_write_data(writer.get(), buffer.data(), static_cast<size_t>(n)) != n)
        return error = "cannot write " + out.Path(), false;
  }
  if (rc != ARCHIVE_EOF) return error = path + ": " + archive_error_string(reader.get()), false;
  if (archive_write_close(writer.get()) != ARCHIVE_OK) return error = "cannot write " + out.Path(), false;
  return true;
}

}  // namespace VESK::ctl
