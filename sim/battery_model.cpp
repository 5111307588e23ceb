#include "battery_model.h"

#include <algorithm>
#include <cmath>

namespace sim {
namespace {

double OpenCircuit(double soc) { return 11.75 + 1.05 * soc; }  // rested block, 0 to 100 %

}  // namespace

void BatteryModel::SetSoc(double soc) { soc_ = std::clamp(std::isfinite(soc) ? soc : 1.0, 0.0, 1.0); }

double BatteryModel::BlockVolts(double amps, bool onLine) const {
    if (onLine) {
        if (soc_ >= 0.999) return 13.5;  // float
        // Bulk: the charger pushes its current in; the voltage rises toward the absorption limit.
        return std::min(14.4, OpenCircuit(soc_) + p_.chargeAmps * p_.ohms + 0.25 + 0.5 * soc_);
    }
    if (amps <= 0) return OpenCircuit(soc_);
    const double i20 = p_.capacityAh * p_.health / 20;
    const double polarisation = 0.06 * std::log1p(amps / i20);
    // An almost empty block collapses; harder at high current.
    const double knee = (1.0 + 0.003 * amps) * std::exp(-soc_ / 0.04);
    return OpenCircuit(soc_) - amps * p_.ohms - polarisation - knee;
}

double BatteryModel::Amps(double loadPercent) const {
    const double watts = std::max(0.0, loadPercent) / 100 * p_.ratedWatts / p_.efficiency;
    if (watts <= 0) return 0;
    // The current depends on the voltage it sags to: a few fixed-point rounds settle it.
    double volts = OpenCircuit(soc_) * p_.blocks;
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

void BatteryModel::Advance(double seconds, double loadPercent, bool onBattery, bool onLine) {
    const double capacity = p_.capacityAh * p_.health;
    while (seconds > 0 && capacity > 0) {
        const double dt = std::min(seconds, 1.0);
        seconds -= dt;
        if (onBattery) {
            const double amps = Amps(loadPercent);
            if (amps <= 0) continue;
            // Peukert: the rate-adjusted charge drawn runs ahead of the plain ampere-hours.
            const double i20 = capacity / 20;
            const double drawn = amps * std::pow(amps / i20, p_.peukert - 1) * dt / 3600;
            soc_ = std::max(0.0, soc_ - drawn / capacity);
        } else if (onLine && soc_ < 1) {
            soc_ = std::min(1.0, soc_ + 0.9 * p_.chargeAmps * dt / 3600 / capacity);
        }
    }
}

}  // namespace sim
