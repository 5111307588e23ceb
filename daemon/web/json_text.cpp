#include "daemon/web/json_text.h"

#include <charconv>
#include <cstdio>

namespace web {

namespace {

// Length of the UTF-8 sequence at p (1 to 4), or 0 when it is not a valid one.
size_t Utf8Length(const unsigned char* p, size_t left) {
    const unsigned char c = p[0];
    size_t n = 0;
    uint32_t min = 0;
    if (c < 0x80) return 1;
    if ((c & 0xE0) == 0xC0) n = 2, min = 0x80;
    else if ((c & 0xF0) == 0xE0) n = 3, min = 0x800;
    else if ((c & 0xF8) == 0xF0) n = 4, min = 0x10000;
    else return 0;
    if (n > left) return 0;
    uint32_t code = c & (0x7F >> n);
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        code = (code << 6) | (p[i] & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return n;
}

}  // namespace

void AppendJsonString(std::string* out, std::string_view text) {
    out->push_back('"');
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back(char(c));
        } else if (c == '\n') {
            *out += "\\n";
        } else if (c == '\r') {
            *out += "\\r";
        } else if (c == '\t') {
            *out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            *out += escaped;
        } else if (c >= 0x80) {
            const size_t n = Utf8Length(p + i, text.size() - i);
            if (n == 0) {
                *out += "\\ufffd";
                ++i;
                continue;
            }
            out->append(text.data() + i, n);
            i += n;
            continue;
        } else {
            out->push_back(char(c));
        }
        ++i;
    }
    out->push_back('"');
}

void AppendJsonNumber(std::string* out, double value) {
    if (!std::isfinite(value)) {
        *out += "null";
        return;
    }
    char buffer[32];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
    out->append(buffer, r.ptr);
}

void AppendJsonVariable(std::string* out, std::string_view value) {
    // JSON's own number grammar: optional minus, no leading zeros, optional fraction.
    size_t i = 0;
    const size_t n = value.size();
    bool number = n > 0;
    if (number && value[i] == '-') ++i;
    if (i >= n || !(value[i] >= '0' && value[i] <= '9')) number = false;
    if (number && value[i] == '0' && i + 1 < n && value[i + 1] != '.') number = false;
    while (number && i < n && value[i] >= '0' && value[i] <= '9') ++i;
    if (number && i < n && value[i] == '.') {
        ++i;
        if (i >= n) number = false;
        while (number && i < n && value[i] >= '0' && value[i] <= '9') ++i;
    }
    if (number && i == n) {
        out->append(value);
        return;
    }
    AppendJsonString(out, value);
}

}  // namespace web
