#include "battery_estimate.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

constexpr double kRateHours = 20;          // capacities are quoted at the 20-hour rate
constexpr double kRechargeShare = 0.09;    // of the capacity per hour: a C/10 charger, 90 % efficient
constexpr double kMinRecordSeconds = 30;   // shorter outages teach nothing
constexpr double kMinPartialDepth = 0.10;  // a discharge cut short must have used this much

bool Finite(double v) { return std::isfinite(v); }
double Clamp01(double v) { return std::min(1.0, std::max(0.0, v)); }

double Power(const BatteryInputs& in) {
    if (Finite(in.outputWatts) && in.outputWatts > 0) return in.outputWatts;
    if (Finite(in.loadPercent) && in.loadPercent > 0 && Finite(in.ratedWatts) && in.ratedWatts > 0)
        return in.loadPercent / 100 * in.ratedWatts;
    return 0;
}

// Charge as a fraction from the voltage; NaN when the voltage or the block count is unusable.
double VoltageCharge(const BatteryInputs& in, const BatterySettings& s, double amps) {
    if (in.blocks <= 0 || !Finite(in.volts) || in.volts <= 0) return NAN;
    const double span = s.fullVolts - s.emptyVolts;
    if (!(span > 0)) return NAN;
    const double perBlock = in.volts / in.blocks + amps * BatteryResistance(in, s);
    return Clamp01((perBlock - s.emptyVolts) / span);
}

}  // namespace

BatteryInputs BatteryInputsFrom(const _ZozeUps& unit) {
    const UpsStatusBlock& st = unit.status;
    BatteryInputs in;
    in.volts = st.batteryVoltage;
    in.blocks = st.currentUnits > 1000 ? 0 : int(st.currentUnits);
    in.capacityAh = unit.protocolAddsRead.batteryAh;
    in.outputWatts = st.outputPower;
    in.loadPercent = st.powerPercent;
    in.ratedWatts = 5000.0 * st.powerUnits;
    in.onBattery = st.stateCode >= 16 && st.stateCode <= 18;
    const bool onLine = st.stateCode == 2 || st.stateCode == 4;
    in.floating = onLine && st.ccbStatus == 3;
    in.charging = onLine && !in.floating && ((st.flags12 & 0x0200) || st.ccbStatus == 1 || st.ccbStatus == 2);
    return in;
}

double BatteryResistance(const BatteryInputs& in, const BatterySettings& s) {
    if (Finite(s.resistanceOhms) && s.resistanceOhms > 0) return s.resistanceOhms;
    // Ohmic plus polarisation of a VRLA block, which scales about inversely with its size.
    const double ah = Finite(in.capacityAh) && in.capacityAh > 0 ? in.capacityAh : 40;
    return 0.3 / ah + 0.004;
}

double DischargeCurrent(const BatteryInputs& in, const BatterySettings& s) {
    if (!in.onBattery || !Finite(in.volts) || in.volts <= 0) return 0;
    const double eff = Finite(s.efficiency) && s.efficiency > 0 ? std::min(1.0, s.efficiency) : 1.0;
    return Power(in) / eff / in.volts;
}

double ReserveCharge(const BatteryInputs& in, const BatterySettings& s, double amps) {
    const double span = s.fullVolts - s.emptyVolts;
    if (!(amps > 0) || !(span > 0)) return 0;
    const double v = (s.lowVolts + amps * BatteryResistance(in, s) - s.emptyVolts) / span;
    return Finite(v) ? Clamp01(v) : 0;
}

double PeukertHours(double capacityAh, double amps, double peukert) {
    if (!(capacityAh > 0) || !(amps > 0) || !Finite(capacityAh) || !Finite(amps)) return NAN;
    const double k = Finite(peukert) && peukert >= 1 ? peukert : 1;
    return kRateHours * std::pow(capacityAh / (amps * kRateHours), k);
}

namespace {

// Seconds from chargeFraction down to the reserve at amps; NaN without a capacity or a current.
double Runtime(const BatteryInputs& in, const BatterySettings& s, const BatteryModel& m, double chargeFraction,
               double amps) {
    const double hours = PeukertHours(in.capacityAh, amps, s.peukert);
    if (!Finite(hours)) return NAN;
    const double factor = Finite(m.capacityFactor) && m.capacityFactor > 0 ? m.capacityFactor : 1;
    const double usable = std::max(0.0, chargeFraction - ReserveCharge(in, s, amps));
    return usable * hours * 3600 * std::pow(factor, std::max(1.0, s.peukert));
}

}  // namespace

BatteryEstimate EstimateBattery(const BatteryInputs& in, const BatterySettings& s, const BatteryModel& m) {
    BatteryEstimate e;
    const double amps = DischargeCurrent(in, s);
    const double charge = VoltageCharge(in, s, amps);
    if (!Finite(charge)) return e;
    e.haveCharge = true;
    e.charge = in.floating ? 100 : charge * 100;
    // On line: what the battery would give at the present load, at its nominal 12 V per block.
    double runAmps = amps;
    if (!in.onBattery && in.blocks > 0) {
        const double eff = Finite(s.efficiency) && s.efficiency > 0 ? std::min(1.0, s.efficiency) : 1.0;
        runAmps = Power(in) / eff / (12.0 * in.blocks);
    }
    e.currentAmps = runAmps;
    const double runtime = Runtime(in, s, m, e.charge / 100, runAmps);
    if (Finite(runtime)) {
        e.haveRuntime = true;
        e.runtime = runtime;
    }
    return e;
}

bool EstimateIsLow(const BatteryEstimate& e, const BatteryInputs& in, const BatterySettings& s) {
    if (!s.lowFromEstimate || !in.onBattery) return false;
    // On the whole numbers a client is shown, so LB never comes with a charge at the threshold.
    return (e.haveCharge && std::round(e.charge) < s.chargeLow) || (e.haveRuntime && std::round(e.runtime) < s.runtimeLow);
}

namespace {

// Fits the model to a finished discharge and blends it in: the first one replaces the defaults,
// later ones move it halfway, shallow ones less. endCharge: the last reading's charge.
bool Learn(BatteryTracker* t, const BatterySettings& s, double endCharge) {
    const double depth = t->startCharge - endCharge;
    const bool full = t->exhausted;
    if (t->seconds < kMinRecordSeconds || !(t->modelDepletion > 0)) return false;
    if (!full && depth < kMinPartialDepth) return false;
    if (!(depth > 0.02)) return false;
    const double k = Finite(s.peukert) && s.peukert >= 1 ? s.peukert : 1;
    const double observed = std::pow(t->modelDepletion / depth, 1 / k);
    if (!Finite(observed)) return false;
    const double rate = t->model.discharges == 0 ? 1.0 : 0.5;
    const double weight = rate * std::min(1.0, depth / 0.5);
    BatteryModel& m = t->model;
    m.capacityFactor = std::clamp(m.capacityFactor + weight * (observed - m.capacityFactor), 0.2, 2.0);
    m.discharges = std::min(m.discharges + 1, 1000000);
    return true;
}

}  // namespace

bool TrackBattery(BatteryTracker* t, const BatteryInputs& in, const BatterySettings& s, double now,
                  BatteryEstimate* out) {
    BatteryEstimate e = EstimateBattery(in, s, t->model);
    const double dt = t->lastTime >= 0 && now >= t->lastTime ? now - t->lastTime : 0;
    bool learned = false;

    if (in.onBattery) {
        t->recharging = false;
        if (!t->wasOnBattery) {
            t->recording = e.haveCharge;
            t->exhausted = false;
            t->startCharge = t->lastCharge = e.charge / 100;
            t->seconds = t->modelDepletion = 0;
            t->lastAmps = e.currentAmps;
        } else if (t->recording && !t->exhausted) {
            if (dt > kBatteryMaxGapSeconds || !e.haveCharge) {
                t->recording = false;
            } else {
                // Trapezium over the two readings' currents.
                const double hours = PeukertHours(in.capacityAh, (t->lastAmps + e.currentAmps) / 2, s.peukert);
                if (Finite(hours)) t->modelDepletion += dt / (hours * 3600);
                t->seconds += dt;
                t->lastCharge = e.charge / 100;
                t->lastAmps = e.currentAmps;
                if (in.blocks > 0 && in.volts < s.lowVolts * in.blocks) {
                    t->exhausted = true;
                    learned = Learn(t, s, t->lastCharge);
                }
            }
        }
    } else if (t->wasOnBattery) {
        if (t->recording && !t->exhausted) learned = Learn(t, s, t->lastCharge);
        t->recording = false;
        t->recharging = t->last.haveCharge;
        t->rechargeCharge = t->last.charge;
    }

    // While the charger works after an outage its voltage says little: the charge climbs back at
    // what the charger can give, and never above what the voltage allows.
    if (!in.onBattery && t->recharging && e.haveCharge) {
        if (in.floating) {
            t->recharging = false;
        } else {
            t->rechargeCharge = std::min(100.0, t->rechargeCharge + dt / 3600 * kRechargeShare * 100);
            if (t->rechargeCharge < e.charge) {
                e.charge = t->rechargeCharge;
                const double runtime = Runtime(in, s, t->model, e.charge / 100, e.currentAmps);
                if (Finite(runtime)) e.runtime = runtime;
            }
            if (t->rechargeCharge >= 100) t->recharging = false;
        }
    }

    t->wasOnBattery = in.onBattery;
    t->lastTime = now;
    t->last = e;
    *out = e;
    return learned;
}

std::string FormatBatteryModel(const BatteryModel& m) {
    char text[128];
    std::snprintf(text, sizeof text, "version=1\ncapacity_factor=%.4f\ndischarges=%d\n", m.capacityFactor, m.discharges);
    // The C library writes the locale's decimal mark; the file always holds a dot.
    for (char* c = text; *c; ++c)
        if (*c == ',') *c = '.';
    return text;
}

namespace {

// A number written with a dot, whatever the process locale says.
bool ParseNumber(const std::string& text, double* out) {
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    double v = 0;
    in >> v;
    if (in.fail() || !in.eof()) return false;
    *out = v;
    return true;
}

std::string Trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return {};
    const size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

}  // namespace

bool ParseBatteryModel(const std::string& text, BatteryModel* m) {
    BatteryModel parsed;
    bool haveVersion = false, haveFactor = false, haveCount = false;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        line = Trim(line);
        if (line.empty() || line[0] == '#') continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) return false;
        const std::string key = Trim(line.substr(0, eq));
        double v = 0;
        if (!ParseNumber(Trim(line.substr(eq + 1)), &v)) return false;
        if (key == "version") {
            if (v != 1) return false;
            haveVersion = true;
        } else if (key == "capacity_factor") {
            if (!(v >= 0.2 && v <= 2.0)) return false;
            parsed.capacityFactor = v;
            haveFactor = true;
        } else if (key == "discharges") {
            if (!(v >= 0 && v <= 1000000) || v != std::floor(v)) return false;
            parsed.discharges = int(v);
            haveCount = true;
        } else {
            return false;
        }
    }
    if (!haveVersion || !haveFactor || !haveCount) return false;
    *m = parsed;
    return true;
}

bool LoadBatteryModel(const std::string& path, BatteryModel* m) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::string text(4096, '\0');
    f.read(text.data(), std::streamsize(text.size()));
    if (!f.eof()) return false;  // far larger than a model: not ours
    text.resize(size_t(f.gcount()));
    return ParseBatteryModel(text, m);
}

bool SaveBatteryModel(const std::string& path, const BatteryModel& m, std::string* error) {
    const std::string tmp = path + ".tmp";
    const std::string text = FormatBatteryModel(m);
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) {
        if (error) *error = tmp + ": " + std::strerror(errno);
        return false;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size() && std::fflush(f) == 0;
#ifndef _WIN32
    // The model is written at the end of an outage, when the machine may lose power next.
    ok = ok && fsync(fileno(f)) == 0;
#endif
    if (std::fclose(f) != 0) ok = false;
    std::error_code ec;
    if (ok) {
        std::filesystem::rename(tmp, path, ec);
#ifdef _WIN32
        // Where renaming over an existing file is refused, the old model goes first.
        if (ec) {
            std::filesystem::remove(path, ec);
            std::filesystem::rename(tmp, path, ec);
        }
#endif
    }
    if (!ok || ec) {
        if (error) *error = path + ": " + (ec ? ec.message() : std::string(std::strerror(errno)));
        std::filesystem::remove(tmp, ec);
        return false;
    }
    return true;
}
