// Link settings from whatever text a hand-edited settings file may hold.
//
// Input: one flags byte (store readable, writable, a store that fills the whole buffer without a
// terminator), then NUL-separated texts. The first text goes to ParseLeadingInt, which must agree
// with strtoll saturated to int. The next thirteen are the stored values of the thirteen settings
// (a missing text is an absent value); ReadLinkSettings must then leave every field at the
// stored number or, for an absent, unreadable or marker value, at its default written back.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "link/link_core.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "fuzz_settings: invariant broken: %s %s\n", what, detail.c_str());
    std::abort();
}

struct MemoryStore {
    std::map<std::string, std::string> values;
    bool readable = true;
    bool writable = true;
    bool unterminated = false;  // a long text fills the buffer and gets no NUL
} memory;

int MemoryRead(const char* name, char* buffer, int size) {
    if (!memory.readable) return 0;
    auto it = memory.values.find(name);
    if (it == memory.values.end()) return 0;
    const std::string& text = it->second;
    if (memory.unterminated && text.size() >= size_t(size)) {
        std::memcpy(buffer, text.data(), size_t(size));
        return 1;
    }
    const size_t n = text.size() < size_t(size - 1) ? text.size() : size_t(size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return 1;
}

int MemoryWrite(const char* name, const char* text) {
    if (!memory.writable) return 0;
    memory.values[name] = text;
    return 1;
}

const LinkSettingsStore kMemoryStore = {MemoryRead, MemoryWrite};

// What the C library makes of the text: the reference for ParseLeadingInt.
bool ReferenceInt(const std::string& text, int* value) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(begin, &end, 10);
    if (end == begin) return false;
    *value = v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : int(v);
    return true;
}

struct Row {
    const char* name;
    int device;
    int32_t _ZozeUps::*field;
    int marker;
    int fallback;
};

const Row kRows[13] = {
    {"AlderaPresent0", 0, &_ZozeUps::present, 7, 1}, {"Com0", 0, &_ZozeUps::comPort, -1, 1},
    {"speed0", 0, &_ZozeUps::baudRate, 0, 9600},      {"Debug0", 0, &_ZozeUps::debugFlag, 7, 1},
    {"AlderaPresent1", 1, &_ZozeUps::present, 7, 0}, {"Com1", 1, &_ZozeUps::comPort, -1, 2},
    {"Debug1", 1, &_ZozeUps::debugFlag, 7, 1},        {"AlderaPresent2", 2, &_ZozeUps::present, 7, 0},
    {"Com2", 2, &_ZozeUps::comPort, -1, 3},           {"Debug2", 2, &_ZozeUps::debugFlag, 7, 1},
    {"AlderaPresent3", 3, &_ZozeUps::present, 7, 0}, {"Com3", 3, &_ZozeUps::comPort, -1, 4},
    {"Debug3", 3, &_ZozeUps::debugFlag, 7, 1},
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetLinkSettingsStore(&kMemoryStore);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t flags = data[0];
    std::vector<std::string> texts;
    std::string current;
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == 0) {
            texts.push_back(current);
            current.clear();
        } else {
            current.push_back(char(data[i]));
        }
    }
    texts.push_back(current);

    // ParseLeadingInt straight, against the C library.
    int parsed = 12345, reference = 0;
    const int ok = ParseLeadingInt(texts[0].c_str(), &parsed);
    const bool refOk = ReferenceInt(texts[0], &reference);
    if (ok != (refOk ? 1 : 0)) Fail("ParseLeadingInt verdict", texts[0]);
    if (ok && parsed != reference) Fail("ParseLeadingInt value", texts[0]);

    // The store as a settings file would leave it.
    memory.values.clear();
    memory.readable = !(flags & 1);
    memory.writable = !(flags & 2);
    memory.unterminated = (flags & 4) != 0;
    for (size_t i = 0; i < 13 && i + 1 < texts.size(); ++i) memory.values[kRows[i].name] = texts[i + 1];
    const auto before = memory.values;

    // ReadRegistryInt sees at most 49 characters of a value.
    for (const Row& row : kRows) {
        auto it = before.find(row.name);
        int expect = row.marker;
        if (memory.readable && it != before.end()) {
            int v;
            if (ReferenceInt(it->second.substr(0, 49), &v)) expect = v;
        }
        if (ReadRegistryInt(row.name, row.marker) != expect) Fail("ReadRegistryInt", row.name);
    }

    for (_ZozeUps& ups : MainUps) ups.present = ups.comPort = ups.baudRate = ups.debugFlag = -99;
    ReadLinkSettings();
    for (const Row& row : kRows) {
        auto it = before.find(row.name);
        int stored = row.marker;
        if (memory.readable && it != before.end()) {
            int v;
            if (ReferenceInt(it->second.substr(0, 49), &v)) stored = v;
        }
        const bool replaced = stored == row.marker;
        const int expect = replaced ? row.fallback : stored;
        if (MainUps[row.device].*row.field != expect) Fail("field", row.name);
        auto now = memory.values.find(row.name);
        if (replaced && memory.writable) {
            if (now == memory.values.end() || now->second != std::to_string(row.fallback))
                Fail("default not written back", row.name);
        } else if (it == before.end() ? now != memory.values.end()
                                       : now == memory.values.end() || now->second != it->second) {
            Fail("usable value rewritten", row.name);
        }
    }
    for (int device = 1; device < 4; ++device)
        if (MainUps[device].baudRate != MainUps[0].baudRate) Fail("bit rate of devices 1-3");
    return 0;
}
