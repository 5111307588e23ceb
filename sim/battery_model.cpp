#include "battery_model.h"

#include <algorithm>
#include <cmath>

namespace sim {
namespace {

// Fitted by least squares on the log of the times in CSB GP12400's table at 25 C (5, 10, 15, 30,
// 60, 120, 180 and 240 minutes) and its 20-hour rating: the whole charge as a share of the
// nameplate, the share at hand, and the rate at which bound charge comes over.
constexpr double kChargeShare = 0.9991;
constexpr double kAtHand = 0.18458;
constexpr double kFlowPerSecond = 4.268e-3;
constexpr double kEndVolts = 10.5;  // per block: the datasheet's 1.75 V a cell

double OpenCircuit(double soc) { return 11.75 + 1.05 * soc; }  // rested block, 0 to 100 %

}  // namespace

BatteryModel::BatteryModel(const BatteryParams& p) : p_(p) { SetSoc(1.0); }

void BatteryModel::SetParams(const BatteryParams& p) {
    const double soc = this->soc();
    p_ = p;
    SetSoc(soc);
}

double BatteryModel::Full() const { return std::max(0.0, p_.capacityAh * p_.health * kChargeShare * 3600); }

double BatteryModel::soc() const {
    const double full = Full();
    return full > 0 ? std::clamp((atHand_ + bound_) / full, 0.0, 1.0) : 0;
}

void BatteryModel::SetSoc(double soc) {
    soc = std::clamp(std::isfinite(soc) ? soc : 1.0, 0.0, 1.0);
    atHand_ = kAtHand * soc * Full();
    bound_ = (1 - kAtHand) * soc * Full();
}

double BatteryModel::Ohms() const { return p_.ohms / std::max(0.1, p_.health); }

double BatteryModel::BlockVolts(double amps, bool onLine) const {
    const double soc = this->soc();
    if (onLine) {
        if (soc >= 0.999) return 13.5;  // float
        // Bulk: the charger pushes its current in; the voltage rises toward the absorption limit.
        return std::min(14.4, OpenCircuit(soc) + p_.chargeAmps * Ohms() + 0.25 + 0.5 * soc);
    }
    const double i20 = std::max(0.01, p_.capacityAh * p_.health / 20);
    const double loaded = OpenCircuit(soc) - amps * Ohms() - 0.06 * std::log1p(std::max(0.0, amps) / i20);
    const double full = Full();
    const double hand = full > 0 ? atHand_ / (kAtHand * full) : 0;  // 1 when all at hand is there
    // What is at hand running out pulls the voltage down to the end voltage: gently at first,
    // steeply at the end. Past it the block collapses.
    if (hand <= 0) return std::min(loaded, kEndVolts) - 0.5;
    if (loaded <= kEndVolts) return loaded;
    return kEndVolts + (loaded - kEndVolts) * std::pow(std::min(1.0, hand), 0.2);
}

double BatteryModel::VoltsAtCurrent(double amps) const { return std::max(0.0, BlockVolts(amps, false) * p_.blocks); }

double BatteryModel::Amps(double loadPercent) const {
    const double watts = std::max(0.0, loadPercent) / 100 * p_.ratedWatts / p_.efficiency;
    if (watts <= 0) return 0;
    // The current depends on the voltage it sags to: a few fixed-point rounds settle it.
    double volts = OpenCircuit(soc()) * p_.blocks;
    double amps = 0;
    for (int i = 0; i < 8; ++i) {
        amps = watts / std::max(volts, 1.0);
        volts = BlockVolts(amps, false) * p_.blocks;
    }
    return amps;
}

double BatteryModel::Volts(double loadPercent, bool onBattery, bool onLine) const {
    const double amps = onBattery ? Amps(loadPercent) : 0;
    return std::max(0.0, BlockVolts(amps, !onBattery && onLine) * p_.blocks);
}

void BatteryModel::AdvanceAtCurrent(double seconds, double amps) {
    const double full = Full();
    while (seconds > 0 && full > 0) {
        const double dt = std::min(seconds, 1.0);
        seconds -= dt;
        // Bound charge flows toward the level of what is at hand.
        const double flow = kFlowPerSecond * ((1 - kAtHand) * atHand_ - kAtHand * bound_) * dt;
        atHand_ -= amps * dt + flow;
        bound_ += flow;
        if (atHand_ < 0) {
            // Nothing at hand: the bound charge cannot come fast enough; the block is spent.
            bound_ = std::max(0.0, bound_ + atHand_);
            atHand_ = 0;
        }
        atHand_ = std::min(atHand_, full - bound_);
    }
}

void BatteryModel::Advance(double seconds, double loadPercent, bool onBattery, bool onLine) {
    if (!(seconds > 0)) return;
    if (onBattery) {
        // The current follows the voltage as it falls: settle it every few seconds.
        while (seconds > 0) {
            const double dt = std::min(seconds, 5.0);
            seconds -= dt;
            AdvanceAtCurrent(dt, Amps(loadPercent));
        }
    } else if (onLine && soc() < 1) {
        AdvanceAtCurrent(seconds, -0.9 * p_.chargeAmps);
    } else {
        AdvanceAtCurrent(seconds, 0);
    }
}

}  // namespace sim
