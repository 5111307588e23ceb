// The unit's operating state in words, for the window's caption and panel.
#include <cstdio>

#include "link/device_lock.h"
#include "link/link_core.h"

namespace {

const char* const kStandbyReasons[] = {
    "Stand_By",         "Keyboard_Stop",        "VHN too High",         "VHP too High",
    "Input Line out of Sync", "VHP too Low",    "VHN too Low",          "VAPC Too High",
    "Low Battery Voltage", "Shutdown",          "Stop & Go",            "Bad Connection",
    "CAN Fault",        "Overload",             "Over Temperature",     "Output Shortage",
    "PFC current too high", "Emergency Power OFF", "Bad Relay",
};

template <size_t N>
void SetText(char (&field)[N], const char* text) {
    std::snprintf(field, N, "%s", text);
}

}  // namespace

void StatusTexts(_ZozeUps* ups) {
    auto lock = LockDevice(ups);
    SetText(ups->stateDetail, "Unknown");
    switch (ups->status.stateCode) {
    case 0: SetText(ups->stateText, "Starting_pre_PFC"); break;
    case 1: SetText(ups->stateText, "Starting_PFC"); break;
    case 2:
        SetText(ups->stateText, "On_Line");
        SetText(ups->stateDetail, (ups->status.flags12 & 0x0200) ? "Charging" : "Charged");
        break;
    case 3: {
        int reason = ups->status.standbyReason;
        SetText(ups->stateText, reason >= 0 && reason <= 18 ? kStandbyReasons[reason] : "Stand_By");
        break;
    }
    case 4: SetText(ups->stateText, "Bypass or Eco Mode"); break;
    case 16:
        SetText(ups->stateText, "Battery_Starting_pre_PFC");
        SetText(ups->stateDetail, "In_Use");
        break;
    case 17:
        SetText(ups->stateText, "Battery_Starting_PFC");
        SetText(ups->stateDetail, "In_Use");
        break;
    case 18:
        SetText(ups->stateText, "On_Battery");
        SetText(ups->stateDetail, "In_Use");
        break;
    default: break;  // unnamed states keep the last name shown
    }
}
