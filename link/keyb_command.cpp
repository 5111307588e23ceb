// The window's one way to ask the link for work.
#include <cstdio>

#include "link/device_lock.h"
#include "link/link_core.h"

namespace {

void SaveHost(void) {
    char host[sizeof MainUps[0].hostname];
    int portNumber;
    {
        auto lock = LockDevice(0);
        std::snprintf(host, sizeof host, "%.*s", static_cast<int>(sizeof host - 1),
                      MainUps[0].hostname);
        portNumber = MainUps[0].portNumber;
    }
    WriteRegistryString("hostname", host);
    WriteRegistryInt("portnumber", portNumber);
    ReadLinkSettings();  // ports are not reopened here; a reload does that
}

}  // namespace

int KeybCommand(int type, int device, int value, int /*unused*/) {
    // These two are process-wide and ignore the device number.
    if (type == KEYB_SAVE_HOST) {
        SaveHost();
        return 1;
    }
    if (type == KEYB_RELOAD_PORTS) {
        RequestReload();
        return 1;
    }
    // A device number outside the table names no record: nothing to queue.
    if (device < 0 || device > 3) return 1;

    _ZozeUps* ups = &MainUps[device];
    auto lock = LockDevice(ups);
    switch (type) {
    case KEYB_WRITE_DEBUG: EnqueueCommand(CMD_WRITE_DEBUG, ups); break;
    case KEYB_WRITE_AD:
        ups->adReadFlags = 0;
        EnqueueCommand(CMD_WRITE_AD_AMPLITUDES, ups);
        EnqueueCommand(CMD_WRITE_AD_OFFSETS, ups);
        EnqueueCommand(CMD_READ_AD_AMPLITUDES, ups);
        EnqueueCommand(CMD_READ_AD_OFFSETS, ups);
        break;
    case KEYB_WRITE_USER_PARAMS:
        EnqueueCommand(CMD_WRITE_USER_PARAMS, ups);
        EnqueueCommand(CMD_READ_USER_PARAMS, ups);
        break;
    case KEYB_WRITE_IDENTITY:
        EnqueueCommand(CMD_WRITE_IDENTITY, ups);
        EnqueueCommand(CMD_READ_IDENTITY, ups);
        break;
    case KEYB_WRITE_SETUP:
        ups->setupValid = 0;
        EnqueueCommand(CMD_WRITE_SETUP, ups);
        break;
    case KEYB_STOP_SAVE: EnqueueCommand(CMD_STOP_SAVE, ups); break;
    case KEYB_STOP_DECIMAL: EnqueueCommand(CMD_STOP_DECIMAL, ups); break;
    case KEYB_RESET_EEPROM: EnqueueCommand(CMD_RESET_EEPROM, ups); break;
    case KEYB_WRITE_PROTOCOL_ADDS:
        EnqueueCommand(CMD_WRITE_PROTOCOL_ADDS_1, ups);
        EnqueueCommand(CMD_WRITE_PROTOCOL_ADDS_2, ups);
        EnqueueCommand(CMD_READ_PROTOCOL_ADDS, ups);
        break;
    case KEYB_TEST_BATTERY:
        ups->batteryTestParam = value;
        EnqueueCommand(CMD_TEST_BATTERY, ups);
        break;
    case KEYB_RECHARGE: EnqueueCommand(CMD_RECHARGE, ups); break;
    default: break;  // unknown types are accepted and do nothing
    }
    return 1;
}
