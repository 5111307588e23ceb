// A unit as the dashboard and the API show it: its state in words and colour, the panel's gauges
// with their colours, charge and runtime, every NUT variable and its commands. Built on the
// server's thread after each refresh, then handed to the web thread as finished text.
#pragma once

#include <QtGlobal>

#include <string>
#include <vector>

#include "daemon/unit_board.h"

namespace web {

struct UnitTimes {
    bool stale = false;
    qint64 sinceMs = 0;        // when the link was lost or the data went stale; 0 while fresh
    qint64 lastRefreshMs = 0;  // wall clock of the newest refresh; 0 before the first
};

// One gauge as the desktop panel draws it.
struct Gauge {
    const char* key;    // the NUT variable it shows
    const char* label;
    const char* unit;
    double value = 0;
    double min = 0, max = 0;
    const char* colour;  // "green", "yellow" or "red"
    const char* note = nullptr;  // what the figure is, where the label alone would mislead
};

// The panel's gauges for a record, in the panel's order.
std::vector<Gauge> PanelGauges(const _ZozeUps& record);

// "green" on line, "amber" on battery or stand-by, "red" for an alarm, a low battery or a lost
// link, "grey" before the first data or while it is stale.
const char* StateColour(const nut::UnitBoard::Unit& unit, bool stale);

std::string UnitJson(const nut::UnitBoard::Unit& unit, const UnitTimes& times);

// A unit of another NUT server: what its variables say, in the same shape (no gauges of the
// panel, no commands), marked "remote".
struct RemoteUnit;
std::string RemoteUnitJson(const RemoteUnit& unit, qint64 sinceMs);

}  // namespace web
