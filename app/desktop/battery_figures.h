// What the tray tooltip and the desktop notifications say about the battery. One function reads
// the figures from the device record, so charge and runtime estimates plug in at one place.
#pragma once

#include <QString>
#include <optional>

#include "link/ups_link.h"

struct BatteryFigures {
    std::optional<double> volts;          // empty until the unit has reported it
    std::optional<double> chargePercent;  // 0..100
    std::optional<double> runtimeSecs;    // at the present load
};

// voltsSeen: a battery voltage has been reported in this session. The voltage comes in a reply
// read only every few poll cycles; before the first one the record holds 0, which is no reading.
BatteryFigures BatteryFiguresOf(const _ZozeUps& ups, bool voltsSeen);

// Low battery by the same rule as the service's LB: the unit's battery voltages, its stand-by for
// low battery, and the estimate.
bool BatteryLowOf(const _ZozeUps& ups);

// "Charge 87 %, runtime 1 h 05 min, V Batt 48.0 V"; the parts not known are left out.
// Empty when nothing is known.
QString BatteryLine(const BatteryFigures& figures);

// "45 s", "12 min", "1 h 05 min".
QString RuntimeText(double secs);
