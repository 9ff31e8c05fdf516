#pragma once
#include <string>

namespace VESK::frame {

// Quotes one word for /bin/sh: the result is always a single argument, whatever
// the input holds (spaces, ';', quotes, '$'). Never fails.
std::string ShellQuote(const std::string& word);

}  // namespace VESK::frame
