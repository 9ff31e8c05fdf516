// The upload target in-process, for what a broker cannot provoke cheaply.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include "TestSupport.h"
#include "UploadFile.h"

using namespace pemrix::testing;
namespace {

using Result = VESK::UploadFile::OpenResult;

TEST(UploadFile, RefusesWhatCannotFitResumesExactlyAndRemovesWhatCannotBeWritten) {
  TempDir dir;
  const std::string path = dir.File("upload");
  VESK::UploadFile file;
  EXPECT_EQ(Result::NoSpace, file.Open(path, int64_t(1) << 60, 0, false));
  EXPECT_FALSE(FileExists(path));
  WriteFile(path, "abc");
  EXPECT_EQ(Result::OffsetMismatch, file.Open(path, 10, 2, true));
  ASSERT_EQ(Result::Ok, file.Open(path, 6, 3, true));
  EXPECT_TRUE(file.Append("defXYZ", 6));  // only what was announced is taken
  EXPECT_TRUE(file.Complete());
  EXPECT_EQ("bef57ec7f53a6d40beb640a780a639c83bc29ac8a9816f1fc6c5c6dcd93c4721", file.HexDigest());
  file.Close();
  EXPECT_EQ("abcdef", ReadFile(path));

  // A full disk, played by the file size limit: the partial file goes.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit small{4096, old.rlim_max};
  ASSERT_EQ(Result::Ok, file.Open(path, 10000, 0, false));
  setrlimit(RLIMIT_FSIZE, &small);
  const bool written = file.Append(std::string(10000, 'x').data(), 10000);
  setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_FALSE(written || file.IsOpen() || FileExists(path));
}

}  // namespace
