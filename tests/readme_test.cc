// Every log line the README's troubleshooting table quotes is one the programs can write.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "TestSupport.h"

namespace {

// A quote is `LEVEL text`; each piece of text between the "…" placeholders, without the blanks and colons
// around it, must be written literally in the programs' sources.
TEST(Readme, TroubleshootingQuotesOnlyLinesTheSourcesWrite) {
  std::string sources, root = PEMRIX_SOURCE_DIR, readme = pemrix::testing::ReadFile(root + "/README.md");
  for (const char* folder : {"/daemon", "/datalogger"})
    for (const auto& file : std::filesystem::recursive_directory_iterator(root + folder))
      if (std::regex_match(file.path().string(), std::regex("(?!.*/tests/).*\\.(cc|cpp|h)$")))
        sources += pemrix::testing::ReadFile(file.path());
  const size_t start = readme.find("\n## Troubleshooting");
  const std::string section = readme.substr(start, readme.find("\n## ", start + 1) - start), dots = "…";
  const std::regex quoted("`(ERROR|WARNING|INFO) ([^`]*)`");
  int lines = 0;
  for (std::sregex_iterator it(section.begin(), section.end(), quoted), end; it != end; ++it, ++lines) {
    const std::string text = (*it)[2];
    for (size_t from = 0, to; from <= text.size(); from = to + dots.size()) {
      std::string piece = text.substr(from, (to = std::min(text.find(dots, from), text.size())) - from);
      piece = piece.substr(std::min(piece.find_first_not_of(" :"), piece.size()));
      piece.erase(piece.find_last_not_of(" :") + 1);
      EXPECT_TRUE(piece.empty() || sources.find(piece) != std::string::npos) << piece << " in " << text;
    }
  }
  EXPECT_GE(lines, 15);
}

}  // namespace
