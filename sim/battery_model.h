// The simulated unit's battery: a string of 12 V lead-acid blocks with a state of charge that
// falls with the charge drawn (more than in proportion at high currents), an open-circuit voltage
// that follows it, a sag under load (ohmic and polarisation) and the collapse of an almost empty
// block. On line the charger brings it back, then holds it at float. Its own physics, not the
// link's estimator, so the two can be measured against each other.
#pragma once

namespace sim {

struct BatteryParams {
    int blocks = 4;
    double capacityAh = 40;      // nameplate, 20-hour rate
    double health = 1.0;         // share of the nameplate the battery still holds (ageing)
    double peukert = 1.12;
    double ohms = 0.008;         // ohmic resistance per block
    double efficiency = 0.92;    // inverter
    double ratedWatts = 5000;
    double chargeAmps = 4;       // charger's bulk current (C/10)
};

class BatteryModel {
public:
    explicit BatteryModel(const BatteryParams& p = {}) : p_(p) {}
    const BatteryParams& params() const { return p_; }
    void SetParams(const BatteryParams& p) { p_ = p; }

    // Advances by seconds of battery time: discharging at loadPercent on battery, charging on
    // line, resting otherwise.
    void Advance(double seconds, double loadPercent, bool onBattery, bool onLine);
    // Terminal voltage of the string under the same conditions.
    double Volts(double loadPercent, bool onBattery, bool onLine) const;
    double Amps(double loadPercent) const;  // discharge current at the terminal voltage

    double soc() const { return soc_; }
    void SetSoc(double soc);
    bool Charging() const { return soc_ < 0.999; }  // bulk phase, when on line

private:
    double BlockVolts(double amps, bool onLine) const;  // per block

    BatteryParams p_;
    double soc_ = 1.0;
};

}  // namespace sim
