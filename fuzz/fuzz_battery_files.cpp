// The battery estimator's files: a discharge table an admin hands it (table = FILE) and the learned
// model it reads back after a crash. Arbitrary bytes go to both parsers. A table that parses gives
// a finite, positive time at every rate, shorter at higher rates; a model that parses is written
// and read back to the same text, and the estimator runs on it without a non-finite figure.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "link/battery_estimate.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_battery_files: invariant broken: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    DischargeTable table;
    std::string error;
    if (ParseDischargeTable(text, &table, &error)) {
        double previous = INFINITY;
        for (const double rate : {1e-4, 0.01, 0.05, 0.3, 1.0, 3.0, 10.0, 100.0}) {
            const double t = TableSeconds(table, rate);
            if (!(t > 0) || !std::isfinite(t)) {
                // Far beyond the rows an extrapolation may leave the doubles; never inside them.
                if (rate >= table.points.front().ampsPerAh && rate <= table.points.back().ampsPerAh)
                    Fail("a time inside the table is not a positive number");
                continue;
            }
            if (t > previous * (1 + 1e-9)) Fail("a higher rate lasts longer");
            previous = t;
        }
    } else if (error.empty()) {
        Fail("a refused table without a reason");
    }

    BatteryModel model;
    if (ParseBatteryModel(text, &model)) {
        const std::string written = FormatBatteryModel(model);
        BatteryModel again;
        if (!ParseBatteryModel(written, &again)) Fail("a model read does not read back once written");
        if (FormatBatteryModel(again) != written) Fail("a model changes when written and read again");
        BatteryInputs in;
        in.volts = 47;
        in.blocks = 4;
        in.capacityAh = 40;
        in.outputWatts = 2500;
        in.onBattery = true;
        const BatterySettings settings;
        BatteryTracker tracker;
        tracker.model = model;
        BatteryEstimate e;
        for (int i = 0; i < 3; ++i) TrackBattery(&tracker, in, settings, 10.0 * i, &e);
        if (!e.haveRuntime || !std::isfinite(e.runtime) || !std::isfinite(e.lowerRuntime) || !std::isfinite(e.charge) ||
            e.lowerRuntime > e.runtime + 1e-9)
            Fail("the estimate on a model read is not a finite, ordered figure");
    }
    return 0;
}
