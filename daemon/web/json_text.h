// Writing JSON text by hand: the shapes are fixed and small, and a writer of our own keeps the
// server's thread free of Qt's shared strings.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

namespace web {

// text as a JSON string, quotes included. Control characters are escaped; bytes that are not
// valid UTF-8 become U+FFFD so that a browser's parser never rejects the whole document.
void AppendJsonString(std::string* out, std::string_view text);
// A finite number in its shortest form that reads back the same; anything else as null.
void AppendJsonNumber(std::string* out, double value);
inline void AppendJsonInteger(std::string* out, int64_t value) { *out += std::to_string(value); }

// The value of a NUT variable: a number when the whole text is a plain decimal number, otherwise
// a string. Serial numbers with leading zeros stay strings.
void AppendJsonVariable(std::string* out, std::string_view value);

}  // namespace web
