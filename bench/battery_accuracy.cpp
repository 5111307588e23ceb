// Runtime estimate against the simulated battery: full discharges at 25, 50 and 100 % load of a
// new battery and one at 80 % of its nameplate, with the estimator fed what the unit would report
// (voltage in 1/32 V steps, whole watts) every two seconds of battery time. Prints one line per
// battery and load, before and after one learned discharge, with the true time left when LB came.
//   battery_accuracy [LEARN-LOAD]   load of the discharge learned from (default 50)
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "link/battery_estimate.h"
#include "sim/battery_model.h"

namespace {

constexpr double kStep = 2;  // seconds between readings
sim::BatteryParams g_params;

struct Result {
    double seconds = 0;  // to the end voltage (below 10.5 V per block)
    double atStart = 0;  // runtime estimate 10 s in, plus those 10 s
    double atHalf = 0;   // runtime estimate half-way, plus the half already run
    double lowAt = -1;   // when LB first came
};

BatteryInputs Reading(const sim::BatteryModel& b, double load, bool onBattery) {
    BatteryInputs in;
    in.volts = std::floor(b.Volts(load, onBattery, !onBattery) * 32 + 0.5) / 32;
    in.blocks = b.params().blocks;
    in.capacityAh = b.params().capacityAh;
    in.loadPercent = std::floor(load);
    in.ratedWatts = b.params().ratedWatts;
    in.outputWatts = std::floor(load / 100 * b.params().ratedWatts);
    in.onBattery = onBattery;
    in.charging = !onBattery && b.Charging();
    in.floating = !onBattery && !b.Charging();
    return in;
}

// One discharge from full (after float) to the end voltage, then the mains back until full again.
Result Discharge(double load, BatteryTracker* tracker, const BatterySettings& s, double* clock) {
    sim::BatteryModel battery(g_params);
    BatteryEstimate e;
    TrackBattery(tracker, Reading(battery, load, false), s, *clock, &e);  // floating
    *clock += kStep;
    const double lowVolts = 10.5 * battery.params().blocks;
    std::vector<std::pair<double, double>> estimates;  // time, runtime
    Result r;
    double t = 0;
    for (;; t += kStep) {
        const BatteryInputs in = Reading(battery, load, true);
        TrackBattery(tracker, in, s, *clock, &e);
        if (in.volts < lowVolts) break;
        if (r.lowAt < 0 && EstimateIsLow(e, in, s)) r.lowAt = t;
        if (e.haveRuntime) estimates.push_back({t, e.runtime});
        battery.Advance(kStep, load, true, false);
        *clock += kStep;
        if (t > 48 * 3600) break;
    }
    r.seconds = t;
    for (const auto& [when, runtime] : estimates) {
        if (when >= 10 && r.atStart == 0) r.atStart = runtime + when;
        if (when >= r.seconds / 2 && r.atHalf == 0) r.atHalf = runtime + when;
    }
    while (battery.soc() < 1) {
        battery.Advance(600, 0, false, true);
        *clock += 600;
        TrackBattery(tracker, Reading(battery, load, false), s, *clock, &e);
    }
    TrackBattery(tracker, Reading(battery, load, false), s, *clock, &e);
    return r;
}

double Percent(double estimate, double actual) { return 100 * (estimate - actual) / actual; }

// The largest move of the charge on a step of the load, 25 -> 100 -> 25 % a third of the way in.
double LargestChargeStep(const BatterySettings& s) {
    sim::BatteryModel battery(g_params);
    BatteryTracker t;
    BatteryEstimate e;
    double clock = 0, largest = 0;
    TrackBattery(&t, Reading(battery, 25, false), s, clock, &e);
    for (const double load : {25.0, 100.0, 25.0}) {
        for (int i = 0; i < 60; ++i) {
            const double before = e.charge;
            clock += kStep;
            TrackBattery(&t, Reading(battery, load, true), s, clock, &e);
            if (i == 0 && load != 25.0) largest = std::max(largest, std::fabs(e.charge - before));
            if (i == 0 && clock > kStep) largest = std::max(largest, std::fabs(e.charge - before));
            battery.Advance(kStep, load, true, false);
        }
    }
    return largest;
}

}  // namespace

int main(int argc, char** argv) {
    const double learnLoad = argc > 1 ? std::atof(argv[1]) : 50;
    const BatterySettings settings;
    const double loads[] = {25, 50, 100};
    double clock = 0;
    std::printf("# health: share of the 40 Ah nameplate the simulated battery holds; learned from one full\n"
                "# discharge at %.0f %% load. Estimates at the start (10 s in) and half-way, as the whole\n"
                "# time they predict; errors against the simulated time to the end voltage; the true time\n"
                "# left when LB came (runtime_low %.0f s).\n",
                learnLoad, settings.runtimeLow);
    for (const double health : {1.0, 0.8}) {
        g_params.health = health;
        BatteryTracker learned;
        Discharge(learnLoad, &learned, settings, &clock);
        for (const double load : loads) {
            BatteryTracker fresh;  // nothing learned
            const Result before = Discharge(load, &fresh, settings, &clock);
            BatteryTracker t = learned;
            const Result after = Discharge(load, &t, settings, &clock);
            std::printf("health %.2f load %3.0f: end voltage after %5.0f s; before learning %5.0f s %+6.1f %%, "
                        "half-way %+6.1f %%, LB with %4.0f s left; after one %5.0f s %+6.1f %%, half-way %+6.1f %%, "
                        "LB with %4.0f s left\n",
                        health, load, before.seconds, before.atStart, Percent(before.atStart, before.seconds),
                        Percent(before.atHalf, before.seconds), before.seconds - before.lowAt, after.atStart,
                        Percent(after.atStart, after.seconds), Percent(after.atHalf, after.seconds),
                        after.seconds - after.lowAt);
        }
        for (const LearnedRate& r : learned.model.rates)
            std::printf("health %.2f learned: %.3f x the table at %.2f A per Ah\n", health, r.factor, r.ampsPerAh);
    }
    std::printf("largest charge step on a load step 25 -> 100 -> 25 %%: %.1f points\n", LargestChargeStep(settings));
    return 0;
}
