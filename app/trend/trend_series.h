// The trend's quantities as drawn and exported: names, colours and the value axis of each.
#pragma once

#include <QColor>
#include <cstdint>

#include "app/trend/trend_ring.h"

inline const char* const kSeriesNames[kTrendSeriesCount] = {"V Batt [V]", "P out [%]", "T Batt [C]",
                                                            "THeat [C]",  "Fr [Hz]",   "Charge [%]"};
inline const char* const kCsvNames[kTrendSeriesCount] = {"Vbatt", "PowerPerc", "Tbatt", "Theat", "Freq", "Charge"};
inline const QColor kColours[kTrendSeriesCount] = {QColor(0, 90, 200),  QColor(120, 60, 170), QColor(220, 120, 0),
                                                   QColor(200, 0, 0),   QColor(0, 150, 70),   QColor(0, 160, 170)};

// One value axis per unit, so volts near 54 and a load near 30 % each fill their own height.
enum Unit { kVolts, kPercent, kDegrees, kHertz, kUnitCount };
inline const Unit kUnitOf[kTrendSeriesCount] = {kVolts, kPercent, kDegrees, kDegrees, kHertz, kPercent};
inline const char* const kUnitTitles[kUnitCount] = {"V", "%", "\u00b0C", "Hz"};

inline constexpr int64_t kMinSpan = 60 * 1000;  // zooming in stops at one minute across
