#include "battery_estimate.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <locale>
#include <sstream>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

constexpr double kRechargeShare = 0.09;      // of the capacity per hour: a C/10 charger, 90 % efficient
constexpr double kMinRecordSeconds = 30;     // shorter outages teach nothing
constexpr double kMinLearnCharge = 0.3;      // a discharge must have had this much to give
constexpr double kRestAnchorSeconds = 1800;  // after this long at rest the voltage tells the charge
// Over the rest of a discharge at steady power the voltage falls toward the end voltage and the
// current rises with it: a lead-acid block spends about this share of the way down on average.
constexpr double kVoltageFallShare = 0.3;
constexpr double kSameRate = 0.405;          // ln 1.5: rates closer than this are one rate
constexpr double kFarRate = 1.386;           // ln 4: beyond this, a learned rate says little
constexpr double kLikeRate = 0.262;          // ln 1.3: sags at rates this close compare

bool Finite(double v) { return std::isfinite(v); }
double Clamp01(double v) { return std::min(1.0, std::max(0.0, v)); }

int Blocks(const BatteryInputs& in, const BatterySettings& s) { return s.blocks > 0 ? s.blocks : in.blocks; }

double CapacityAh(const BatteryInputs& in, const BatterySettings& s) {
    if (Finite(s.capacityAh) && s.capacityAh > 0) return s.capacityAh;
    return Finite(in.capacityAh) && in.capacityAh > 0 ? in.capacityAh : 0;
}

const DischargeTable& Table(const BatterySettings& s) { return s.table ? *s.table : DefaultDischargeTable(); }

double Efficiency(const BatterySettings& s) {
    return Finite(s.efficiency) && s.efficiency > 0 ? std::min(1.0, s.efficiency) : 1.0;
}

double Power(const BatteryInputs& in) {
    if (Finite(in.outputWatts) && in.outputWatts > 0) return in.outputWatts;
    if (Finite(in.loadPercent) && in.loadPercent > 0 && Finite(in.ratedWatts) && in.ratedWatts > 0)
        return in.loadPercent / 100 * in.ratedWatts;
    return 0;
}

// Charge as a fraction from the voltage; NaN when the voltage or the block count is unusable.
double VoltageCharge(const BatteryInputs& in, const BatterySettings& s, double amps) {
    const int blocks = Blocks(in, s);
    if (blocks <= 0 || !Finite(in.volts) || in.volts <= 0) return NAN;
    const double span = s.fullVolts - s.emptyVolts;
    if (!(span > 0)) return NAN;
    const double perBlock = in.volts / blocks + amps * BatteryResistance(in, s);
    return Clamp01((perBlock - s.emptyVolts) / span);
}

// The current the rest of a discharge at the present power will draw on average. On line, the
// voltage is the charger's: the loaded voltage of a full string is worked out instead.
double PredictionAmps(const BatteryInputs& in, const BatterySettings& s) {
    const int blocks = Blocks(in, s);
    const double watts = Power(in) / Efficiency(s);
    if (blocks <= 0 || !(watts > 0)) return 0;
    const double end = s.lowVolts * blocks;
    double volts = in.volts;
    if (!in.onBattery || !Finite(volts) || volts <= 0) {
        const double ohms = BatteryResistance(in, s);
        volts = 12.0 * blocks;
        for (int i = 0; i < 4; ++i) volts = blocks * (s.fullVolts - watts / volts * ohms);
    }
    if (volts > end) volts -= kVoltageFallShare * (volts - end);
    return volts > 0 ? watts / volts : 0;
}

// How far a rate is from what has been learned (0 inside the learned range), on log axes.
double LearnedDistance(const BatteryModel& m, double ampsPerAh) {
    if (m.rates.empty() || !(ampsPerAh > 0)) return kFarRate;
    const double low = m.rates.front().ampsPerAh, high = m.rates.back().ampsPerAh;
    if (ampsPerAh < low) return std::log(low / ampsPerAh);
    if (ampsPerAh > high) return std::log(ampsPerAh / high);
    return 0;
}

// The conservative runtime: before anything is learned from the shipped table, the weakest
// published block's figure; otherwise the best estimate less what it may be off by, more the
// further the rate is from what the battery has shown.
double LowerRuntime(const BatteryInputs& in, const BatterySettings& s, const BatteryModel& m, double runtime,
                    double weakCharge, double amps) {
    const double capacity = CapacityAh(in, s);
    if (m.rates.empty() && !s.table) {
        const double weak =
            weakCharge * TableSeconds(WeakestDischargeTable(), amps / capacity) * ResistanceFactor(m);
        return Finite(weak) ? std::min(runtime, weak) : runtime;
    }
    const double off =
        m.rates.empty() ? 0.2 : 0.1 + 0.15 * std::min(1.0, LearnedDistance(m, amps / capacity) / kFarRate);
    return runtime * (1 - off);
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

double LearnedFactor(const BatteryModel& m, double ampsPerAh) {
    const std::vector<LearnedRate>& r = m.rates;
    if (r.empty()) return 1;
    if (r.size() == 1 || !(ampsPerAh > r.front().ampsPerAh)) return r.front().factor;
    if (ampsPerAh >= r.back().ampsPerAh) return r.back().factor;
    size_t i = 1;
    while (ampsPerAh > r[i].ampsPerAh) ++i;
    const double share = std::log(ampsPerAh / r[i - 1].ampsPerAh) / std::log(r[i].ampsPerAh / r[i - 1].ampsPerAh);
    return r[i - 1].factor + share * (r[i].factor - r[i - 1].factor);
}

double ResistanceFactor(const BatteryModel& m) {
    const double base = m.learnedOhms > 0 ? m.learnedOhms : m.referenceOhms;
    if (!(base > 0) || !(m.ohms > 0)) return 1;
    // A block whose resistance has risen by a quarter has typically lost about a fifth of its
    // capacity; small changes are measurement noise.
    const double rise = m.ohms / base - 1;
    return std::clamp(1 - 0.8 * std::max(0.0, rise - 0.05), 0.5, 1.0);
}

double BatteryResistance(const BatteryInputs& in, const BatterySettings& s) {
    if (Finite(s.resistanceOhms) && s.resistanceOhms > 0) return s.resistanceOhms;
    // Ohmic plus polarisation of a VRLA block, which scales about inversely with its size.
    const double ah = CapacityAh(in, s) > 0 ? CapacityAh(in, s) : 40;
    return 0.3 / ah + 0.004;
}

double DischargeCurrent(const BatteryInputs& in, const BatterySettings& s) {
    if (!in.onBattery || !Finite(in.volts) || in.volts <= 0) return 0;
    return Power(in) / Efficiency(s) / in.volts;
}

double FullBatterySeconds(const BatteryInputs& in, const BatterySettings& s, const BatteryModel& m, double amps) {
    const double capacity = CapacityAh(in, s);
    if (!(capacity > 0) || !(amps > 0)) return NAN;
    const double rate = amps / capacity;
    return TableSeconds(Table(s), rate) * LearnedFactor(m, rate) * ResistanceFactor(m);
}

namespace {

// The runtime, best and conservative, for a charge known some way.
void FillRuntime(const BatteryInputs& in, const BatterySettings& s, const BatteryModel& m, double charge,
                 double weakCharge, BatteryEstimate* e) {
    const double amps = PredictionAmps(in, s);
    e->currentAmps = in.onBattery ? DischargeCurrent(in, s) : amps;
    const double full = FullBatterySeconds(in, s, m, amps);
    if (!Finite(full)) return;
    e->haveRuntime = true;
    e->runtime = charge * full;
    e->lowerRuntime = LowerRuntime(in, s, m, e->runtime, weakCharge, amps);
}

}  // namespace

BatteryEstimate EstimateBattery(const BatteryInputs& in, const BatterySettings& s, const BatteryModel& m) {
    BatteryEstimate e;
    const double charge = in.floating ? 1.0 : VoltageCharge(in, s, DischargeCurrent(in, s));
    if (!Finite(charge)) return e;
    e.haveCharge = true;
    e.charge = charge * 100;
    FillRuntime(in, s, m, charge, charge, &e);
    return e;
}

bool EstimateIsLow(const BatteryEstimate& e, const BatteryInputs& in, const BatterySettings& s) {
    if (!s.lowFromEstimate || !in.onBattery) return false;
    // The charge on the whole number a client is shown, so LB never comes with a charge at the
    // threshold; the runtime by its conservative figure.
    return (e.haveCharge && std::round(e.charge) < s.chargeLow) ||
           (e.haveRuntime && std::round(e.lowerRuntime) <= s.runtimeLow);
}

bool BatteryIsLow(const _ZozeUps& unit, const BatterySettings& s, const BatteryEstimate* estimate) {
    const UpsStatusBlock& st = unit.status;
    const double limit = s.lowVolts * double(st.currentUnits > 1000 ? 0 : st.currentUnits);
    // A word of 0 is one not read yet, not an empty battery.
    const double status = st.batteryVoltage, aux = unit.auxWordB[2] / 10.0;
    if (limit > 0 && ((status > 0 && status < limit) || (aux > 0 && aux < limit))) return true;
    if (st.stateCode == 3 && st.standbyReason == 8) return true;
    return estimate && EstimateIsLow(*estimate, BatteryInputsFrom(unit), s);
}

namespace {

void AddLearnedRate(BatteryModel* m, double ampsPerAh, double factor) {
    std::vector<LearnedRate>& r = m->rates;
    for (LearnedRate& p : r) {
        if (std::fabs(std::log(p.ampsPerAh / ampsPerAh)) < kSameRate) {
            // The same rate again: halfway to the new figure, and the rate to the middle.
            p.factor += 0.5 * (factor - p.factor);
            p.ampsPerAh = std::sqrt(p.ampsPerAh * ampsPerAh);
            p.discharges = std::min(p.discharges + 1, 1000000);
            return;
        }
    }
    r.push_back({ampsPerAh, factor, 1});
    std::sort(r.begin(), r.end(), [](const LearnedRate& a, const LearnedRate& b) { return a.ampsPerAh < b.ampsPerAh; });
    if (r.size() > kMaxLearnedRates) {
        // Too many: the two closest rates become one.
        size_t best = 1;
        for (size_t i = 2; i < r.size(); ++i)
            if (r[i].ampsPerAh / r[i - 1].ampsPerAh < r[best].ampsPerAh / r[best - 1].ampsPerAh) best = i;
        LearnedRate& a = r[best - 1];
        const LearnedRate& b = r[best];
        a = {std::sqrt(a.ampsPerAh * b.ampsPerAh), (a.factor + b.factor) / 2, a.discharges + b.discharges};
        r.erase(r.begin() + long(best));
    }
}

// A discharge that ran to the end voltage: the battery gave tableDepletion of the table's full
// battery from startCharge, so it holds tableDepletion / startCharge of it at this rate.
bool Learn(BatteryTracker* t) {
    if (t->seconds < kMinRecordSeconds || !(t->tableDepletion > 0) || t->startCharge < kMinLearnCharge) return false;
    const double factor = t->tableDepletion / t->startCharge;
    const double rate = std::exp(t->logRateSum / t->tableDepletion);
    if (!Finite(factor) || !Finite(rate) || factor < 0.2 || factor > 2.5) return false;
    BatteryModel& m = t->model;
    AddLearnedRate(&m, rate, factor);
    m.discharges = std::min(m.discharges + 1, 1000000);
    m.learnedOhms = m.ohms > 0 ? m.ohms : m.referenceOhms;
    return true;
}

// The sag at an outage's first reading, from a full battery: the resistance per block.
bool MeasureResistance(BatteryModel* m, const BatteryInputs& in, const BatterySettings& s, double amps) {
    const int blocks = Blocks(in, s);
    const double capacity = CapacityAh(in, s);
    if (blocks <= 0 || !(amps > 0) || !(capacity > 0)) return false;
    const double ohms = (s.fullVolts - in.volts / blocks) / amps;
    const double rate = amps / capacity;
    if (!Finite(ohms) || ohms <= 0 || ohms > 1) return false;
    if (!(m->referenceOhms > 0)) {
        m->referenceOhms = m->ohms = ohms;
        m->referenceAmpsPerAh = rate;
        return true;
    }
    // The sag holds polarisation too, which grows with the current: only like rates compare.
    if (std::fabs(std::log(rate / m->referenceAmpsPerAh)) > kLikeRate) return false;
    m->ohms = ohms;
    return true;
}

}  // namespace

bool TrackBattery(BatteryTracker* t, const BatteryInputs& in, const BatterySettings& s, double now,
                  BatteryEstimate* out) {
    const BatteryEstimate byVoltage = EstimateBattery(in, s, t->model);
    const double dt = t->lastTime >= 0 && now >= t->lastTime ? now - t->lastTime : 0;
    const double capacity = CapacityAh(in, s);
    const double amps = DischargeCurrent(in, s);
    bool changed = false;
    auto anchor = [&] {
        if (!byVoltage.haveCharge) return;
        t->charge = t->weakCharge = byVoltage.charge / 100;
        t->haveCharge = true;
    };

    if (in.onBattery) {
        t->restSeconds = 0;
        t->recharging = false;
        if (!t->wasOnBattery) {
            if (!t->haveCharge) anchor();
            t->fullAtStart = t->haveCharge && t->charge >= 0.999;
            t->recording = t->haveCharge && amps > 0;
            t->startCharge = t->charge;
            t->seconds = t->tableDepletion = t->logRateSum = 0;
            if (t->fullAtStart) changed = MeasureResistance(&t->model, in, s, amps);
        } else if (t->haveCharge) {
            const double avg = (t->lastAmps + amps) / 2;  // trapezium over the two readings
            if (dt > kBatteryMaxGapSeconds) t->recording = false;
            if (dt > 0 && avg > 0 && capacity > 0) {
                const double full = FullBatterySeconds(in, s, t->model, avg);
                const double weak = TableSeconds(WeakestDischargeTable(), avg / capacity) * ResistanceFactor(t->model);
                if (Finite(full)) t->charge = std::max(0.0, t->charge - dt / full);
                if (Finite(weak)) t->weakCharge = std::max(0.0, t->weakCharge - dt / weak);
                const double table = TableSeconds(Table(s), avg / capacity);
                if (t->recording && Finite(table)) {
                    t->tableDepletion += dt / table;
                    t->logRateSum += dt / table * std::log(avg / capacity);
                    t->seconds += dt;
                }
            }
            const int blocks = Blocks(in, s);
            if (blocks > 0 && in.volts < s.lowVolts * blocks) {
                // At the end voltage the battery is empty at this rate, whatever was thought.
                if (t->recording) changed = Learn(t) || changed;
                t->recording = false;
                t->charge = t->weakCharge = 0;
            }
        }
        t->lastAmps = amps;
    } else {
        if (t->wasOnBattery) {
            t->recording = false;  // cut short: how much was left is not known, so nothing is learned
            t->recharging = t->haveCharge;
        }
        t->lastAmps = 0;
        if (in.floating) {
            t->charge = t->weakCharge = 1;
            t->haveCharge = true;
            t->recharging = false;
            t->restSeconds = 0;
        } else if (in.charging) {
            t->restSeconds = 0;
            if (!t->haveCharge) {
                anchor();
            } else {
                // The charger's voltage says little; the charge climbs at what it can give, never
                // above what the voltage allows.
                const double gain = dt / 3600 * kRechargeShare;
                t->charge = std::min(1.0, t->charge + gain);
                t->weakCharge = std::min(1.0, t->weakCharge + gain);
                if (byVoltage.haveCharge && byVoltage.charge / 100 < t->charge)
                    t->charge = t->weakCharge = byVoltage.charge / 100;
            }
        } else {
            t->restSeconds += dt;
            if (!t->haveCharge || t->restSeconds >= kRestAnchorSeconds) anchor();
        }
    }

    BatteryEstimate e;
    if (t->haveCharge) {
        e.haveCharge = true;
        e.charge = t->charge * 100;
        FillRuntime(in, s, t->model, t->charge, t->weakCharge, &e);
    }
    t->wasOnBattery = in.onBattery;
    t->lastTime = now;
    t->last = e;
    *out = e;
    return changed;
}

std::string FormatBatteryModel(const BatteryModel& m) {
    std::string text = "version=2\ndischarges=" + std::to_string(m.discharges) + "\n";
    char line[160];
    for (const LearnedRate& r : m.rates) {
        std::snprintf(line, sizeof line, "rate=%.6f %.4f %d\n", r.ampsPerAh, r.factor, r.discharges);
        text += line;
    }
    std::snprintf(line, sizeof line, "reference_ohms=%.6f\nreference_rate=%.6f\nohms=%.6f\nlearned_ohms=%.6f\n",
                  m.referenceOhms, m.referenceAmpsPerAh, m.ohms, m.learnedOhms);
    text += line;
    // The C library writes the locale's decimal mark; the file always holds a dot.
    for (char& c : text)
        if (c == ',') c = '.';
    return text;
}

namespace {

// A number written with a dot, whatever the process locale says.
bool ParseNumber(const std::string& text, double* out) {
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    double v = 0;
    in >> v;
    if (in.fail() || !in.eof() || !Finite(v)) return false;
    *out = v;
    return true;
}

std::string Trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return {};
    const size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

bool WholeCount(double v) { return v >= 0 && v <= 1000000 && v == std::floor(v); }

// "rate=AMPS_PER_AH FACTOR COUNT"
bool ParseRate(const std::string& text, LearnedRate* r) {
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    double rate = 0, factor = 0, count = 0;
    in >> rate >> factor >> count;
    if (in.fail()) return false;
    in >> std::ws;
    if (!in.eof() || !(rate > 0 && rate < 100) || !(factor >= 0.2 && factor <= 2.5) || !WholeCount(count)) return false;
    *r = {rate, factor, int(count)};
    return true;
}

}  // namespace

bool ParseBatteryModel(const std::string& text, BatteryModel* m) {
    BatteryModel parsed;
    int version = 0;
    bool haveCount = false, haveFactor = false;
    double oldFactor = 1;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        line = Trim(line);
        if (line.empty() || line[0] == '#') continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) return false;
        const std::string key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
        if (key == "rate") {
            LearnedRate r;
            if (version != 2 || !ParseRate(value, &r) || parsed.rates.size() >= kMaxLearnedRates) return false;
            if (!parsed.rates.empty() && !(r.ampsPerAh > parsed.rates.back().ampsPerAh)) return false;
            parsed.rates.push_back(r);
            continue;
        }
        double v = 0;
        if (!ParseNumber(value, &v)) return false;
        if (key == "version") {
            if ((v != 1 && v != 2) || version) return false;
            version = int(v);
        } else if (key == "discharges") {
            if (!WholeCount(v)) return false;
            parsed.discharges = int(v);
            haveCount = true;
        } else if (key == "capacity_factor" && version == 1) {
            if (!(v >= 0.2 && v <= 2.0)) return false;
            oldFactor = v;
            haveFactor = true;
        } else if (version == 2 && (key == "reference_ohms" || key == "ohms" || key == "learned_ohms")) {
            if (!(v >= 0 && v <= 1)) return false;
            (key == "ohms" ? parsed.ohms : key == "learned_ohms" ? parsed.learnedOhms : parsed.referenceOhms) = v;
        } else if (version == 2 && key == "reference_rate") {
            if (!(v >= 0 && v < 100)) return false;
            parsed.referenceAmpsPerAh = v;
        } else {
            return false;
        }
    }
    if (!version || !haveCount || (version == 1 && !haveFactor)) return false;
    // An older model knew one factor for every rate; learned ones had been fitted at some rate.
    if (version == 1 && parsed.discharges > 0) parsed.rates.push_back({0.5, oldFactor, parsed.discharges});
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
