#pragma once
// The archive "download_project" makes holds one top folder ("Project/");
// "update_project" wants the project's contents at the archive's top. The
// tool repacks such an archive on the operator's side, so what one command
// produces the other takes.
#include <string>

namespace VESK::ctl {

// A file in the temporary folder, removed on destruction. Empty until made.
class TempFile {
 public:
  TempFile() = default;
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  // Creates "<tmp>/pemrix-ctl-XXXXXX<suffix>" (0600); false on failure.
  bool Make(const std::string& suffix);
  const std::string& Path() const { return _path; }

 private:
  std::string _path;
};

// When the gzip-compressed tar at path holds exactly one top-level folder and
// every other member lies inside it, writes the same members with that
// folder's name taken off their paths into out (made here) and returns true.
// Also true, with out left empty, when the archive is not of that shape (it
// goes as it is: the gateway judges it). False with error when the archive
// cannot be read or the copy cannot be written.
bool RepackSingleTopFolder(const std::string& path, TempFile& out, std::string& error);

}  // namespace VESK::ctl
