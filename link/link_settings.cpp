// Which units exist, on which port and at which bit rate. Values are decimal texts under fixed
// names; missing or unusable ones are replaced by defaults that are written straight back.
#include <atomic>
#include <climits>
#include <cstdio>

#include "link/device_lock.h"
#include "link/link_core.h"

namespace {

std::atomic<const LinkSettingsStore*> settingsStore{nullptr};

struct SettingRow {
    const char* name;
    int device;
    int32_t _ZozeUps::*field;
    int marker;  // what an absent or unusable value reads as
    int fallback;
};

const SettingRow kSettings[] = {
    {"AlderaPresent0", 0, &_ZozeUps::present, 7, 1},
    {"Com0", 0, &_ZozeUps::comPort, -1, 1},
    {"speed0", 0, &_ZozeUps::baudRate, 0, 9600},
    {"Debug0", 0, &_ZozeUps::debugFlag, 7, 1},
    {"AlderaPresent1", 1, &_ZozeUps::present, 7, 0},
    {"Com1", 1, &_ZozeUps::comPort, -1, 2},
    {"Debug1", 1, &_ZozeUps::debugFlag, 7, 1},
    {"AlderaPresent2", 2, &_ZozeUps::present, 7, 0},
    {"Com2", 2, &_ZozeUps::comPort, -1, 3},
    {"Debug2", 2, &_ZozeUps::debugFlag, 7, 1},
    {"AlderaPresent3", 3, &_ZozeUps::present, 7, 0},
    {"Com3", 3, &_ZozeUps::comPort, -1, 4},
    {"Debug3", 3, &_ZozeUps::debugFlag, 7, 1},
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

}  // namespace

void SetLinkSettingsStore(const LinkSettingsStore* store) { settingsStore.store(store); }

int ParseLeadingInt(const char* text, int* value) {
    if (!text) return 0;
    const char* p = text;
    while (IsBlank(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') return 0;
    // Accumulate as a negative number so INT_MIN fits; out-of-range texts saturate.
    long long acc = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        acc = acc * 10 - (*p - '0');
        if (acc < static_cast<long long>(INT_MIN) - 1) acc = static_cast<long long>(INT_MIN) - 1;
    }
    if (negative) {
        *value = acc < INT_MIN ? INT_MIN : static_cast<int>(acc);
    } else {
        *value = -acc > INT_MAX ? INT_MAX : static_cast<int>(-acc);
    }
    return 1;
}

int ReadRegistryInt(const char* name, int fallback) {
    const LinkSettingsStore* store = settingsStore.load();
    if (!store || !store->readText) return fallback;
    char buffer[50] = "";
    if (!store->readText(name, buffer, static_cast<int>(sizeof buffer))) return fallback;
    buffer[sizeof buffer - 1] = '\0';
    int value;
    return ParseLeadingInt(buffer, &value) ? value : fallback;
}

int WriteRegistryString(const char* name, const char* text) {
    const LinkSettingsStore* store = settingsStore.load();
    if (!store || !store->writeText) return 0;
    return store->writeText(name, text) ? 1 : 0;
}

int WriteRegistryInt(const char* name, int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    return WriteRegistryString(name, text);
}

void ReadLinkSettings(void) {
    for (const SettingRow& row : kSettings) {
        int v = ReadRegistryInt(row.name, row.marker);
        if (v == row.marker) {
            v = row.fallback;
            WriteRegistryInt(row.name, v);
        }
        auto lock = LockDevice(row.device);
        MainUps[row.device].*row.field = v;
    }
    // Devices 1 to 3 have no bit-rate setting of their own; they run at device 0's "speed0"
    // rather than opening their ports at 0 bit/s.
    int speed;
    {
        auto lock = LockDevice(0);
        speed = MainUps[0].baudRate;
    }
    for (int device = 1; device < 4; ++device) {
        auto lock = LockDevice(device);
        MainUps[device].baudRate = speed;
    }
}

void SaveLinkSettings(void) {
    char name[32];
    for (int device = 0; device < 4; ++device) {
        int present, comPort, debugFlag;
        {
            auto lock = LockDevice(device);
            present = MainUps[device].present;
            comPort = MainUps[device].comPort;
            debugFlag = MainUps[device].debugFlag;
        }
        std::snprintf(name, sizeof name, "AlderaPresent%d", device);
        WriteRegistryInt(name, present);
        std::snprintf(name, sizeof name, "Com%d", device);
        WriteRegistryInt(name, comPort);
        std::snprintf(name, sizeof name, "Debug%d", device);
        WriteRegistryInt(name, debugFlag);
    }
}
