// The device table and the clearing of its records at link start.
#include <cstdio>
#include <cstring>

#include "link/device_lock.h"
#include "link/link_core.h"

extern "C" {
_ZozeUps MainUps[4];
}

namespace {

// Stands in until the port layer installs its driver: nothing opens, nothing arrives.
int NoPortOpen(_ZozeUps*) { return -1; }
int NoPortWrite(const uint8_t*, int, _ZozeUps*) { return 0; }
int NoPortRead(char*, int, uint32_t* error, _ZozeUps*) {
    if (error) *error = 0;
    return 0;
}
void NoPortPurge(int, _ZozeUps*) {}
void NoPortClose(_ZozeUps*) {}

const UpsPortOps noPort = {NoPortOpen, NoPortWrite, NoPortRead, NoPortPurge, NoPortClose};
const UpsPortOps* defaultPort = &noPort;

}  // namespace

void SetDefaultPortOps(const UpsPortOps* ops) { defaultPort = ops ? ops : &noPort; }

void InitDeviceTable(void) {
    for (_ZozeUps& ups : MainUps) {
        auto lock = LockDevice(&ups);
        ups = _ZozeUps{};
        std::snprintf(ups.stateText, sizeof ups.stateText, "%s", "Timeout");
        ups.pollPhase = 0;
        ups.adReadFlags = 0;
        ups.setupValid = 0;
        ups.port = defaultPort;
    }
}

void InitDevice(_ZozeUps* ups) {
    auto lock = LockDevice(ups);
    ups->timeoutShown = 0;
    ups->pollPhase = 10;  // the first cycle after an open carries no rotation item
    std::memset(ups->firmwareVersion, 0, sizeof ups->firmwareVersion);
}
