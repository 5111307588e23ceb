// Battery charge and runtime estimated from what the status reply carries: the battery voltage,
// the blocks, the capacity and the power drawn. The runtime comes from a discharge table (times to
// the end voltage at each rate, link/discharge_table.h), the charge from what the battery has
// given at the rates it gave it. Every discharge that runs to the end voltage corrects the table at
// its own rate, and the sag at each outage's start watches the battery's resistance.
// Plain structures and free functions; no Qt.
#pragma once

#include <string>
#include <vector>

#include "discharge_table.h"
#include "ups_link.h"

// Lead-acid defaults, per 12 V block. The two voltages are open-circuit equivalents (the reading
// with the load sag added back): a rested block shows about 12.8 V full and 11.6 V empty. They
// only anchor the charge where nothing better is known.
struct BatterySettings {
    double emptyVolts = 11.6;         // per block, load-compensated: 0 %
    double fullVolts = 12.8;          // per block, load-compensated: 100 %
    double lowVolts = 10.5;           // per block, at the terminals: the battery is exhausted
    double resistanceOhms = 0;        // effective internal resistance per block; 0: from the capacity
    double efficiency = 0.9;          // inverter: battery power = output power / efficiency
    double chargeLow = 20;            // battery.charge.low, %
    double runtimeLow = 300;          // battery.runtime.low, s
    bool lowFromEstimate = true;      // raise LB also from the charge and the runtime
    double capacityAh = 0;            // 20-hour capacity of one block; 0: as the unit reports
    int blocks = 0;                   // blocks in series; 0: as the unit reports
    const DischargeTable* table = nullptr;  // the blocks' own table; null: the shipped typical one
};

// One reading of the unit, in engineering units. NaN (or 0 for counts) where unknown.
struct BatteryInputs {
    double volts = 0;        // battery terminal voltage
    int blocks = 0;          // 12 V blocks in series
    double capacityAh = 0;   // nameplate, at the 20-hour rate
    double outputWatts = 0;  // output real power; 0 or NaN: taken from loadPercent x ratedWatts
    double loadPercent = 0;
    double ratedWatts = 0;
    bool onBattery = false;
    bool charging = false;   // on line, the charger in its bulk phase
    bool floating = false;   // on line, the charger holding the battery full
};

BatteryInputs BatteryInputsFrom(const _ZozeUps& unit);

// What one rate's discharges have taught: the battery lasts factor x the table's time there.
struct LearnedRate {
    double ampsPerAh = 0;
    double factor = 1;
    int discharges = 0;
};

// What the estimator has learned about one unit's battery.
struct BatteryModel {
    std::vector<LearnedRate> rates;  // current rising; at most kMaxLearnedRates
    int discharges = 0;              // discharges learned from, all rates
    // Resistance per block from the sag at the start of outages that began on a full battery.
    double referenceOhms = 0;        // the first one measured; 0: none yet
    double referenceAmpsPerAh = 0;   // the rate it was measured at
    double ohms = 0;                 // the latest one measured near that rate
    double learnedOhms = 0;          // the one in force when the last discharge was learned
};
constexpr size_t kMaxLearnedRates = 6;

struct BatteryEstimate {
    bool haveCharge = false;
    bool haveRuntime = false;
    double charge = 0;            // %, 0 to 100
    double runtime = 0;           // s, the best estimate
    double lowerRuntime = 0;      // s, a conservative one: what low battery is judged by
    double currentAmps = 0;       // battery current the runtime assumes (on line: prospective)
};

// The factor learned for a rate: 1 with nothing learned, the one rate's factor everywhere after
// discharges at one rate, and between learned rates interpolated on the log of the rate.
double LearnedFactor(const BatteryModel& m, double ampsPerAh);
// At most 1: how much less the battery is taken to hold because its resistance has risen since
// the last learned discharge (or since the first measurement, before any).
double ResistanceFactor(const BatteryModel& m);

// Effective resistance per block used for the load compensation.
double BatteryResistance(const BatteryInputs& in, const BatterySettings& s);
// Battery current for the present output power (0 on line or without a load figure).
double DischargeCurrent(const BatteryInputs& in, const BatterySettings& s);
// Seconds a full battery of this capacity lasts at a steady current under the settings' table,
// with what the model has learned.
double FullBatterySeconds(const BatteryInputs& in, const BatterySettings& s, const BatteryModel& m, double amps);

// Stateless: charge from the voltage; runtime at the present load (on line: were the mains to
// fail now). haveRuntime needs a capacity and a load.
BatteryEstimate EstimateBattery(const BatteryInputs& in, const BatterySettings& s, const BatteryModel& m);

// LB from the estimate (when the settings allow): on battery, the charge below chargeLow once
// rounded as served, or the conservative runtime down to runtimeLow.
bool EstimateIsLow(const BatteryEstimate& e, const BatteryInputs& in, const BatterySettings& s);

// Low battery as every side decides it (the service's LB, the window's notes and tray): any
// battery voltage the unit reports (the status reply's, the auxiliary answer's once read) below
// lowVolts a block, the unit's stand-by for low battery, or the estimate (when given).
bool BatteryIsLow(const _ZozeUps& unit, const BatterySettings& s, const BatteryEstimate* estimate);

// Follows a unit over time. The charge is what is left of the battery at the rates it has been
// drawn at: full when the charger floats, lowered by every second on battery in proportion to the
// table's time at that second's current, raised on line at the charger's pace; the voltage anchors
// it only when nothing better is known or the battery has rested. A discharge that reaches the end
// voltage is folded into the model at its rate.
struct BatteryTracker {
    BatteryModel model;
    BatteryEstimate last;
    double lastTime = -1;        // seconds, any steady clock
    bool wasOnBattery = false;
    bool haveCharge = false;
    double charge = 0;           // fraction left, under the learned model
    double weakCharge = 0;       // fraction left, were the battery as weak as the weakest table
    double lastAmps = 0;
    double restSeconds = 0;      // neither charged nor discharged since
    // The discharge in progress.
    bool recording = false;
    bool fullAtStart = false;
    double startCharge = 0;      // fraction
    double seconds = 0;
    double tableDepletion = 0;   // sum of dt / table time at the current: factor 1
    double logRateSum = 0;       // the same sum, each term times the log of its rate
    bool recharging = false;     // after an outage, until the charger floats
};

// Feeds one reading taken at nowSeconds; fills *out. Returns true when the model changed (the
// caller saves it). Readings more than maxGapSeconds apart on battery end the learning from that
// discharge: the power during the gap is unknown.
bool TrackBattery(BatteryTracker* t, const BatteryInputs& in, const BatterySettings& s, double nowSeconds,
                  BatteryEstimate* out);
constexpr double kBatteryMaxGapSeconds = 60;

// The model as "key=value" lines, and back. Parsing fails (false, *m untouched) on anything
// unknown, missing or out of range, so a damaged file falls back to the defaults. A model written
// before rates were learned apart (version 1, one capacity factor) reads as that factor at every rate.
std::string FormatBatteryModel(const BatteryModel& m);
bool ParseBatteryModel(const std::string& text, BatteryModel* m);
// Whole-file helpers: load leaves *m as it was when the file is missing or bad; save writes a
// temporary file beside it and renames it over, so a crash leaves the old or the new model.
bool LoadBatteryModel(const std::string& path, BatteryModel* m);
bool SaveBatteryModel(const std::string& path, const BatteryModel& m, std::string* error);
