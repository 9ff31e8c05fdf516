#pragma once
// The target file of one upload received from the network. The name comes
// from a peer and the folder is shared (/tmp), so the file is opened in a way
// nothing planted there can redirect or hold: no link is followed, only a
// regular file with a single link is accepted, and the open never blocks.
//
// Owns its descriptor and its digest state; used by the service thread only.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace VESK {

class UploadFile {
 public:
  enum class OpenResult { Ok, CannotCreate, NoSpace, OffsetMismatch };

  UploadFile();
  ~UploadFile();
  UploadFile(const UploadFile&) = delete;
  UploadFile& operator=(const UploadFile&) = delete;
  // Moving hands the descriptor over; the old object is left closed.
  UploadFile& operator=(UploadFile&& other) noexcept;

  // Opens path to receive size bytes in all, starting at offset: 0 starts a
  // fresh file (an existing one is cut to nothing), anything else resumes a
  // file that must already be exactly offset bytes long. What is still to
  // come must fit the free space of the folder. With digest set, the SHA-256
  // of the whole file is kept as it grows (a resumed file's first offset
  // bytes are read back for it). Never blocks on a FIFO or device.
  OpenResult Open(const std::string& path, int64_t size, int64_t offset, bool digest);
  bool IsOpen() const { return _fd >= 0; }
  // Appends the bytes still missing from data (never more than the size
  // announced). False when the write failed: the file is then closed and
  // removed, so no partial file keeps the disk full.
  bool Append(const void* data, size_t length);
  int64_t Received() const { return _received; }
  bool Complete() const { return _received >= _size; }
  // Closes the descriptor; the file stays.
  void Close();
  // Closes and removes the file.
  void Remove();
  // Lower-case hex SHA-256 of the bytes received so far ("" without digest).
  std::string HexDigest() const;

 private:
  struct Digest;
  int _fd = -1;
  std::string _path;
  int64_t _size = 0;
  int64_t _received = 0;
  std::unique_ptr<Digest> _digest;
};

// True for exactly 64 hex digits (either case).
bool IsSha256Hex(const std::string& text);

}  // namespace VESK
