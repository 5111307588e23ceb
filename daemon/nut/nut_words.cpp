#include "daemon/nut/nut_words.h"

#include <cctype>

namespace nut {

SplitResult SplitRequest(std::string_view line, std::vector<std::string>* words) {
    words->clear();
    std::string word;
    bool inWord = false;
    bool inQuotes = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\\') {
            if (i + 1 >= line.size()) return SplitResult::TrailingBackslash;
            word += line[++i];
            inWord = true;
        } else if (c == '"') {
            // A quote opens or closes a quoted stretch; "" is an empty argument.
            inQuotes = !inQuotes;
            inWord = true;
        } else if (!inQuotes && (c == ' ' || c == '\t' || c == '\r')) {
            if (inWord) words->push_back(std::move(word));
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inQuotes) return SplitResult::UnterminatedQuote;
    if (inWord) words->push_back(std::move(word));
    return SplitResult::Ok;
}

std::string Quote(std::string_view value) {
    std::string out;
    out.reserve(value.size() + 2);
    out += '"';
    for (char c : value) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

std::string LowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace nut
