// A log file at its size limit moves to "<name>.bak" (one generation only) and
// logging goes on in a fresh file, whatever spaces or quotes the name holds.
#include <easylogging++.h>
#include <gtest/gtest.h>

#include "ServiceFrame.h"
#include "TestSupport.h"

using namespace pemrix::testing;

TEST(LogRollOver, TwoRollOversKeepExactlyOneBakGeneration) {
  TempDir dir;
  const std::string log = dir.File("gate way's.log");
  el::Configurations conf;
  conf.setToDefault();
  conf.parseFromText("* GLOBAL:\n FILENAME = \"" + log +
                     "\"\n TO_FILE = true\n TO_STANDARD_OUTPUT = false\n FORMAT = %msg\n MAX_LOG_FILE_SIZE = 2000\n");
  el::Loggers::addFlag(el::LoggingFlag::StrictLogFileSizeCheck);
  el::Loggers::reconfigureLogger("default", conf);
  el::Helpers::installPreRollOutCallback([](const char* name, std::size_t) { VESK::frame::RollOutLogFile(name); });
  // About 40 bytes a line: the limit is passed twice.
  for (int i = 0; i < 200; ++i) LOG(INFO) << "generation line number " << i << " ............";
  el::Loggers::flushAll();
  el::Helpers::uninstallPreRollOutCallback();
  ASSERT_TRUE(FileExists(log + ".bak"));
  EXPECT_FALSE(FileExists(log + ".bak.bak"));
  // The second roll-over replaced the first generation.
  EXPECT_EQ(ReadFile(log + ".bak").find("line number 0 "), std::string::npos);
  EXPECT_NE(ReadFile(log).find("line number 199 "), std::string::npos);
  EXPECT_LE(ReadFile(log).size(), 2100u);
}
