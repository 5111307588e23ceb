// The dialogs' text-to-number readers on whatever a user can type or paste.
//
// The byte scanners must agree with the C library: ScanInt32 with strtoll saturated to int32,
// ScanUInt32 with strtoull's magnitude saturated to 2^32 - 1 and a minus sign taken modulo 2^32,
// both with the count of bytes they consumed. ScanDouble reads decimal numbers only; where it
// reads one, strtod must read the same number over the same bytes, and the value is finite. The
// control-text readers apply the same rules to the first 63 (integers) or 399 (doubles)
// characters, and what "show" writes for a value reads back as that value; a double shown, read
// and shown again gives the same text.
#include <QString>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dialogs/dialog_fields.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "fuzz_fields: invariant broken: %s on \"%s\"\n", what, text.c_str());
    std::abort();
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Where the number proper begins: after the blanks and one sign, which must be followed by a
// digit. strto* would also skip blanks after the sign; the field rules do not.
bool DigitAfterSign(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && IsBlank(s[i])) ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    return i < s.size() && s[i] >= '0' && s[i] <= '9';
}

void CheckInt(const std::string& s) {
    size_t consumed = 99;
    const auto v = ScanInt32(s.data(), s.size(), &consumed);
    // The scanners stop at a NUL like strtoll does; compare over the text up to it.
    const char* c = s.c_str();
    char* end = nullptr;
    errno = 0;
    const long long ref = std::strtoll(c, &end, 10);
    const bool refOk = end != c && DigitAfterSign(s);
    if (v.has_value() != refOk) Fail("ScanInt32 verdict", s);
    if (!v) {
        if (consumed != 0) Fail("ScanInt32 consumed without a number", s);
        return;
    }
    const long long clamped = ref < INT32_MIN ? INT32_MIN : ref > INT32_MAX ? INT32_MAX : ref;
    if (*v != clamped) Fail("ScanInt32 value", s);
    if (consumed != size_t(end - c)) Fail("ScanInt32 consumed", s);
    // Shown and read back, the value is the same.
    if (ReadIntText(ShowInt(*v)) != *v) Fail("int show/read", s);
}

void CheckUInt(const std::string& s) {
    size_t consumed = 99;
    const auto v = ScanUInt32(s.data(), s.size(), &consumed);
    const bool refOk = DigitAfterSign(s);
    if (v.has_value() != refOk) Fail("ScanUInt32 verdict", s);
    if (!v) return;
    size_t i = 0;
    while (IsBlank(s[i])) ++i;
    bool negative = false;
    if (s[i] == '+' || s[i] == '-') negative = s[i++] == '-';
    const char* digits = s.c_str() + i;
    char* end = nullptr;
    errno = 0;
    unsigned long long magnitude = std::strtoull(digits, &end, 10);
    if (magnitude > UINT32_MAX) magnitude = UINT32_MAX;
    const uint32_t expect = negative ? uint32_t(0u - uint32_t(magnitude)) : uint32_t(magnitude);
    if (*v != expect) Fail("ScanUInt32 value", s);
    if (consumed != size_t(end - s.c_str())) Fail("ScanUInt32 consumed", s);
    if (ReadUIntText(ShowInt(*v)) != *v) Fail("unsigned show/read", s);
}

void CheckDouble(const std::string& s) {
    size_t consumed = 99;
    const auto v = ScanDouble(s.data(), s.size(), &consumed);
    if (!v) {
        if (consumed != 0) Fail("ScanDouble consumed without a number", s);
        return;
    }
    if (!std::isfinite(*v)) Fail("ScanDouble not finite", s);
    if (consumed == 0 || consumed > s.size()) Fail("ScanDouble consumed", s);
    // The C library reads the same bytes the same way (inf saturated as the field rules do).
    const std::string number(s.data(), consumed);
    char* end = nullptr;
    double ref = std::strtod(number.c_str(), &end);
    if (size_t(end - number.c_str()) != consumed) Fail("strtod reads a different extent", s);
    if (std::isinf(ref)) ref = std::signbit(ref) ? -DBL_MAX : DBL_MAX;
    if (std::memcmp(&ref, &*v, sizeof ref) != 0) Fail("ScanDouble value", s);
    // Show, read, show: the second show writes the first one's text.
    const QString shown = ShowDouble(*v);
    const auto back = ReadDoubleText(shown);
    if (!back) Fail("a shown double does not read", s);
    if (ShowDouble(*back) != shown) Fail("double show/read/show", s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string s(reinterpret_cast<const char*>(data), size);
    CheckInt(s);
    CheckUInt(s);
    CheckDouble(s);

    // The control-text readers look at a bounded prefix of what the control holds, as UTF-8 and
    // as Latin-1 text.
    for (const QString& text : {QString::fromUtf8(s.data(), qsizetype(size)),
                                QString::fromLatin1(s.data(), qsizetype(size))}) {
        const QByteArray head63 = text.left(63).toLatin1();
        const QByteArray head399 = text.left(399).toLatin1();
        if (ReadIntText(text) != ScanInt32(head63.constData(), size_t(head63.size())))
            Fail("ReadIntText", s);
        if (ReadUIntText(text) != ScanUInt32(head63.constData(), size_t(head63.size())))
            Fail("ReadUIntText", s);
        const auto d = ReadDoubleText(text);
        const auto ref = ScanDouble(head399.constData(), size_t(head399.size()));
        if (d.has_value() != ref.has_value() || (d && std::memcmp(&*d, &*ref, sizeof(double)) != 0))
            Fail("ReadDoubleText", s);
        if (d && !std::isfinite(*d)) Fail("ReadDoubleText not finite", s);
    }
    return 0;
}
