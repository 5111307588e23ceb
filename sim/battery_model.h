// The simulated unit's battery: a string of 12 V lead-acid blocks as a kinetic battery model. Part
// of the charge is at hand and part is bound, flowing over at a finite rate, so a heavy current
// empties what is at hand long before the whole (the rate dependence of real blocks) and a rest
// brings some back. The constants are fitted to a published datasheet's constant-current table
// (CSB GP12400, 12 V 40 Ah, to 1.75 V a cell at 25 C), which it follows within 6 % from 5 minutes
// to 20 hours. The terminal voltage sags with the current (ohmic and polarisation), falls with the
// charge, and reaches the end voltage when what is at hand runs out. On line the charger brings it
// back, then holds it at float. Its own physics, not the link's estimator, so the two can be
// measured against each other.
#pragma once

namespace sim {

struct BatteryParams {
    int blocks = 4;
    double capacityAh = 40;      // nameplate, 20-hour rate
    double health = 1.0;         // share of the nameplate the battery still holds (ageing)
    double ohms = 0.008;         // ohmic resistance per block of a new block
    double efficiency = 0.92;    // inverter
    double ratedWatts = 5000;
    double chargeAmps = 4;       // charger's bulk current (C/10)
};

class BatteryModel {
public:
    explicit BatteryModel(const BatteryParams& p = {});
    const BatteryParams& params() const { return p_; }
    void SetParams(const BatteryParams& p);

    // Advances by seconds of battery time: discharging at loadPercent on battery, charging on
    // line, resting otherwise.
    void Advance(double seconds, double loadPercent, bool onBattery, bool onLine);
    // Draws a steady current for seconds (the datasheet's way of testing a block).
    void AdvanceAtCurrent(double seconds, double amps);
    // Terminal voltage of the string under the same conditions.
    double Volts(double loadPercent, bool onBattery, bool onLine) const;
    double VoltsAtCurrent(double amps) const;
    double Amps(double loadPercent) const;  // discharge current at the terminal voltage
    double Ohms() const;                    // ohmic resistance per block, higher as it ages

    double soc() const;  // all the charge, at hand and bound, of the full battery
    void SetSoc(double soc);
    bool Charging() const { return soc() < 0.999; }  // bulk phase, when on line

private:
    double BlockVolts(double amps, bool onLine) const;  // per block
    double Full() const;                                // ampere-seconds of a full battery

    BatteryParams p_;
    double atHand_ = 0;  // ampere-seconds
    double bound_ = 0;
};

}  // namespace sim
