// Battery charge and runtime estimated from what the status reply carries: the battery voltage
// per block corrected for the sag under load, the capacity, and the power drawn. A small learned
// model, refined by every real discharge, keeps the runtime honest as the battery ages.
// Plain structures and free functions; no Qt.
#pragma once

#include <string>

#include "ups_link.h"

// Lead-acid defaults, per 12 V block. The two voltages are open-circuit equivalents (the reading
// with the load sag added back): a rested block shows about 12.8 V full and 11.6 V empty.
struct BatterySettings {
    double emptyVolts = 11.6;         // per block, load-compensated: 0 %
    double fullVolts = 12.8;          // per block, load-compensated: 100 %
    double lowVolts = 10.5;           // per block, at the terminals: the battery is exhausted
    double resistanceOhms = 0;        // effective internal resistance per block; 0: from the capacity
    double peukert = 1.1;             // Peukert exponent, referred to the 20-hour rate
    double efficiency = 0.9;          // inverter: battery power = output power / efficiency
    double chargeLow = 20;            // battery.charge.low, %
    double runtimeLow = 300;          // battery.runtime.low, s
    bool lowFromEstimate = true;      // raise LB also below chargeLow or runtimeLow
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

// What the runtime model has learned: the runtime runs down to the reserve (ReserveCharge) at the
// Peukert rate of a battery of capacityFactor x the nameplate.
struct BatteryModel {
    double capacityFactor = 1.0;  // effective capacity / nameplate
    int discharges = 0;           // discharges learned from
};

struct BatteryEstimate {
    bool haveCharge = false;
    bool haveRuntime = false;
    double charge = 0;            // %, 0 to 100
    double runtime = 0;           // s
    double currentAmps = 0;       // battery current the runtime assumes (on line: prospective)
};

// Effective resistance per block used for the load compensation.
double BatteryResistance(const BatteryInputs& in, const BatterySettings& s);
// Battery current for the present output power (0 on line or without a load figure).
double DischargeCurrent(const BatteryInputs& in, const BatterySettings& s);
// Charge fraction at which the terminal voltage reaches lowVolts at this current, 0 to 1.
double ReserveCharge(const BatteryInputs& in, const BatterySettings& s, double amps);
// Hours a full battery lasts at a steady current under the model (no learned factor).
double PeukertHours(double capacityAh, double amps, double peukert);

// Stateless: charge from the voltage; runtime at the present load (on line: were the mains to
// fail now). haveRuntime needs a capacity and a load.
BatteryEstimate EstimateBattery(const BatteryInputs& in, const BatterySettings& s, const BatteryModel& m);

// LB from the estimate (when the settings allow): on battery, below chargeLow or runtimeLow once
// rounded to whole units as served.
bool EstimateIsLow(const BatteryEstimate& e, const BatteryInputs& in, const BatterySettings& s);

// Follows a unit over time: on line, the charge climbs back no faster than the charger can bring
// it; on battery, the discharge is recorded and, when it ends (exhausted, or the mains back),
// folded into the model.
struct BatteryTracker {
    BatteryModel model;
    BatteryEstimate last;
    double lastTime = -1;        // seconds, any steady clock
    bool wasOnBattery = false;
    // The discharge in progress.
    bool recording = false;
    bool exhausted = false;      // reached lowVolts: nothing more to learn from this one
    double startCharge = 0;      // fraction
    double lastCharge = 0;       // fraction, the latest reading on battery
    double lastAmps = 0;
    double seconds = 0;
    double modelDepletion = 0;   // sum of dt / (full-battery time at the current), capacity factor 1
    // After a discharge: the charge reached, which the charger then raises again.
    bool recharging = false;
    double rechargeCharge = 0;   // %
};

// Feeds one reading taken at nowSeconds; fills *out. Returns true when a finished discharge
// changed tracker->model (the caller saves it). Gaps of more than maxGapSeconds between readings
// on battery abandon the discharge: the power during the gap is unknown.
bool TrackBattery(BatteryTracker* t, const BatteryInputs& in, const BatterySettings& s, double nowSeconds,
                  BatteryEstimate* out);
constexpr double kBatteryMaxGapSeconds = 60;

// The model as "key=value" lines, and back. Parsing fails (false, *m untouched) on anything
// unknown, missing or out of range, so a damaged file falls back to the defaults.
std::string FormatBatteryModel(const BatteryModel& m);
bool ParseBatteryModel(const std::string& text, BatteryModel* m);
// Whole-file helpers: load leaves *m as it was when the file is missing or bad; save writes a
// temporary file beside it and renames it over, so a crash leaves the old or the new model.
bool LoadBatteryModel(const std::string& path, BatteryModel* m);
bool SaveBatteryModel(const std::string& path, const BatteryModel& m, std::string* error);
