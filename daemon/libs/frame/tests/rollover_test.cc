// A log file that reaches its size limit moves to "<name>.bak" (one
// generation only) and logging goes on in a fresh file; a name holding a
// space or quote must not break the move.
#include <easylogging++.h>
#include <gtest/gtest.h>

#include "ServiceFrame.h"
#include "TestSupport.h"

using namespace pemrix::testing;

namespace {
void Rollout(const char* filename, std::size_t) { VESK::frame::RollOutLogFile(filename); }
}  // namespace

TEST(LogRollOver, TwoRollOversKeepExactlyOneBakGeneration) {
  TempDir dir;
  std::string log = dir.File("gate way's.log");
  el::Configurations conf;
  conf.setToDefault();
  conf.set(el::Level::Global, el::ConfigurationType::Filename, log);
  conf.set(el::Level::Global, el::ConfigurationType::ToFile, "true");
  conf.set(el::Level::Global, el::ConfigurationType::ToStandardOutput, "false");
  conf.set(el::Level::Global, el::ConfigurationType::Format, "%msg");
  conf.set(el::Level::Global, el::ConfigurationType::MaxLogFileSize, "2000");
  el::Loggers::addFlag(el::LoggingFlag::StrictLogFileSizeCheck);
  el::Loggers::reconfigureLogger("default", conf);
  el::Helpers::installPreRollOutCallback(Rollout);

  // 200 lines of ~40 bytes: the 2000-byte limit is passed twice.
  for (int i = 0; i < 200; ++i) LOG(INFO) << "generation line number " << i << " ............";
  el::Loggers::flushAll();
  el::Helpers::uninstallPreRollOutCallback();

  ASSERT_TRUE(FileExists(log + ".bak"));
  EXPECT_FALSE(FileExists(log + ".bak.bak"));
  std::string bak = ReadFile(log + ".bak");
  std::string current = ReadFile(log);
  // The .bak holds a later generation than the first lines: the second roll-over replaced the first.
  EXPECT_EQ(bak.find("line number 0 "), std::string::npos);
  EXPECT_NE(current.find("line number 199 "), std::string::npos);
  EXPECT_LE(current.size(), 2100u);
}
