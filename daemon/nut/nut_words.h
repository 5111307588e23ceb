// The words of the NUT network protocol: splitting a request line into its arguments and
// quoting values for replies. Multi-word arguments stand in double quotes; a backslash makes the
// next character literal, inside quotes or out.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace nut {

enum class SplitResult { Ok, UnterminatedQuote, TrailingBackslash };

// Splits one request line (without its line end) into words. On a fault `words` holds what was
// read so far and the result says why the line is unusable.
SplitResult SplitRequest(std::string_view line, std::vector<std::string>* words);

// "value" with every '"' and '\' escaped: the form every quoted reply field takes.
std::string Quote(std::string_view value);

// Names of variables and commands are matched without regard to case, as the reference server
// matches them (ASCII only; they have no other letters).
bool EqualNoCase(std::string_view a, std::string_view b);
std::string LowerAscii(std::string_view text);

}  // namespace nut
