#pragma once
// Unpacks an uploaded gzip-compressed tar archive, checking every member
// before anything is written: an archive is peer input, and what it unpacks
// is installed as the project or the runtime.
#include <cstdint>
#include <string>

namespace VESK {

struct UnpackLimits {
  // The gateway's project and runtime are a few tens of MB; an archive that
  // unpacks to more is refused, as is one that would not fit the free space.
  uint64_t maxBytes = 256ull << 20;
  // Many tiny members exhaust inodes just as well as one huge member.
  uint64_t maxEntries = 65536;
};

enum class UnpackResult {
  Ok,
  Unreadable,  // missing, not a file, not gzip+tar, or corrupt
  Refused,     // a member is not a plain file or folder inside the target,
               // the limits are exceeded, or the disk refused a write
};

// Unpacks the archive at archivePath into destDir, an existing empty folder
// private to the caller. Only regular files and folders whose relative paths
// stay inside destDir are accepted (no links, FIFOs or devices, no absolute
// paths, no ".."). The archive itself is opened without following a link.
// On anything but Ok, destDir may hold part of the archive: the caller
// removes it. reason gets a short text for the log.
UnpackResult UnpackArchive(const std::string& archivePath, const std::string& destDir, const UnpackLimits& limits,
                           std::string& reason);

}  // namespace VESK
