// Every log line the README's troubleshooting table quotes is one the programs can write.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "TestSupport.h"

using namespace pemrix::testing;

namespace {

TEST(Readme, TroubleshootingQuotesOnlyLinesTheSourcesWrite) {
  std::string sources;
  for (const char* folder : {"daemon", "datalogger"})
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(std::string(PEMRIX_SOURCE_DIR) + "/" + folder))
      if (std::regex_match(entry.path().string(), std::regex(".*\\.(cc|cpp|h)$")) &&
          entry.path().string().find("/tests/") == std::string::npos)
        sources += ReadFile(entry.path().string());
  const std::string readme = ReadFile(std::string(PEMRIX_SOURCE_DIR) + "/README.md");
  const size_t start = readme.find("\n## Troubleshooting");
  ASSERT_NE(start, std::string::npos);
  const std::string section = readme.substr(start, readme.find("\n## ", start + 1) - start);
  // A quoted line is "LEVEL text"; each piece between the "…" placeholders, without the
  // blanks and colons around it, must be written literally somewhere in the sources.
  const std::regex quoted("`(ERROR|WARNING|INFO) ([^`]*)`");
  int lines = 0;
  for (std::sregex_iterator it(section.begin(), section.end(), quoted), end; it != end; ++it, ++lines) {
    const std::string text = (*it)[2];
    for (size_t from = 0, to; from <= text.size(); from = to + std::string("…").size()) {
      to = std::min(text.find("…", from), text.size());
      std::string piece = text.substr(from, to - from);
      piece.erase(0, piece.find_first_not_of(" :"));
      piece.erase(piece.find_last_not_of(" :") + 1);
      EXPECT_TRUE(piece.empty() || sources.find(piece) != std::string::npos) << piece << " in " << text;
    }
  }
  EXPECT_GE(lines, 15);
}

}  // namespace
