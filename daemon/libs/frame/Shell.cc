#include "Shell.h"

namespace VESK::frame {

std::string ShellQuote(const std::string& word) {
  // Single quotes keep everything literal; an embedded single quote closes the
  // quoted run, adds an escaped quote and opens a new run.
  std::string out = "'";
  for (char c : word) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  out += "'";
  return out;
}

}  // namespace VESK::frame
