// The words the panel shows for the unit's state: caption, charge line and status line.
#pragma once

#include <QString>
#include <cstdint>

// The state text up to its terminating zero (never past its 40 bytes), with " ECO MODE "
// appended while bit 14 of flags12 is set.
QString CaptionText(const char (&stateText)[40], uint16_t flags12);

// 1, 2, 3: the charge phases; anything else: "Discharge".
QString ChargeLineText(uint32_t ccbStatus);

// "Status %x" with " - ACTIVE" for state 2 and " - STAND-BY" for state 3.
QString StatusLineText(uint16_t stateCode);
