// How long a 12 V lead-acid block lasts from full to its end voltage (1.75 V a cell) at each steady
// discharge current, as battery makers tabulate it. The currents are kept per ampere-hour of the
// block's 20-hour capacity, so one table serves blocks of any size of the same kind.
// Plain structures and free functions; no Qt.
#pragma once

#include <string>
#include <vector>

struct DischargePoint {
    double ampsPerAh = 0;  // steady current / 20-hour capacity
    double seconds = 0;    // time from full to the end voltage at that current
};

struct DischargeTable {
    std::vector<DischargePoint> points;  // current rising, time falling
    std::string source;                  // the comment lines of the file it came from
};

// The tables shipped in link/data/: a typical VRLA block (vrla_12v_typical.csv), and the weakest
// of the published blocks read, rate by rate (vrla_12v_low.csv).
const DischargeTable& DefaultDischargeTable();
const DischargeTable& WeakestDischargeTable();

// Seconds from full to the end voltage at a steady current (amperes per Ah of the 20-hour capacity).
// Between rows the time is interpolated on log-log axes, where a block's rate dependence is close
// to straight; beyond the first or last row it follows that end's own slope. NaN for a current that
// is not positive, or an empty table.
double TableSeconds(const DischargeTable& table, double ampsPerAh);

// A block's own table, as CSV:
//   # comment lines: model, maker, datasheet, temperature, end voltage
//   capacity_ah,38            the 20-hour capacity the currents belong to
//   minutes,amps              heading
//   5,115.0                   one row per tabulated time: minutes to the end voltage, steady amperes
// At least two rows; longer times must come with smaller currents. Fails with *error naming the
// line on anything else.
bool ParseDischargeTable(const std::string& text, DischargeTable* out, std::string* error);
bool LoadDischargeTable(const std::string& path, DischargeTable* out, std::string* error);
