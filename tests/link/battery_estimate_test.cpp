// The charge and runtime estimator: its shape over voltage and load, what it does with readings
// that make no sense, the learning, and the learned model's file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "link/battery_estimate.h"

namespace {

BatteryInputs OnBattery(double volts, double watts) {
    BatteryInputs in;
    in.volts = volts;
    in.blocks = 4;
    in.capacityAh = 40;
    in.outputWatts = watts;
    in.ratedWatts = 5000;
    in.onBattery = true;
    return in;
}

TEST(BatteryEstimate, ChargeRisesWithVoltageIsClampedAndAddsTheLoadSagBack) {
    const BatterySettings s;
    const BatteryModel m;
    double previous = -1;
    for (double v = 40; v <= 56; v += 0.25) {
        const BatteryEstimate e = EstimateBattery(OnBattery(v, 1000), s, m);
        ASSERT_TRUE(e.haveCharge) << v;
        EXPECT_GE(e.charge, previous) << v;
        EXPECT_GE(e.charge, 0);
        EXPECT_LE(e.charge, 100);
        previous = e.charge;
    }
    EXPECT_EQ(EstimateBattery(OnBattery(40, 1000), s, m).charge, 0);
    EXPECT_EQ(EstimateBattery(OnBattery(56, 1000), s, m).charge, 100);

    // 47 V under 4 kW is a fuller battery than 47 V under 500 W, and both read more than at rest.
    const double heavy = EstimateBattery(OnBattery(47, 4000), s, m).charge;
    const double light = EstimateBattery(OnBattery(47, 500), s, m).charge;
    BatteryInputs rest = OnBattery(47, 0);
    rest.onBattery = false;
    EXPECT_GT(heavy, light + 10);
    EXPECT_GT(light, EstimateBattery(rest, s, m).charge);

    // The same charge (on line: no sag to add back) lasts less under more load, and a learned
    // smaller capacity shortens it.
    BatteryInputs line1k = OnBattery(50, 1000), line2k = OnBattery(50, 2000);
    line1k.onBattery = line2k.onBattery = false;
    const BatteryEstimate at1k = EstimateBattery(line1k, s, m);
    const BatteryEstimate at2k = EstimateBattery(line2k, s, m);
    ASSERT_TRUE(at1k.haveRuntime && at2k.haveRuntime);
    EXPECT_EQ(at1k.charge, at2k.charge);
    EXPECT_GT(at1k.runtime, 2 * at2k.runtime);  // Peukert: more than in proportion
    BatteryModel aged;
    aged.capacityFactor = 0.5;
    EXPECT_LT(EstimateBattery(OnBattery(48, 1000), s, aged).runtime, 0.6 * at1k.runtime);
}

TEST(BatteryEstimate, NonsenseReadingsGiveNoFigureRatherThanAWrongOne) {
    const BatterySettings s;
    const BatteryModel m;
    for (const double v : {double(NAN), double(INFINITY), -5.0, 0.0}) EXPECT_FALSE(EstimateBattery(OnBattery(v, 1000), s, m).haveCharge) << v;
    BatteryInputs noBlocks = OnBattery(48, 1000);
    noBlocks.blocks = 0;
    EXPECT_FALSE(EstimateBattery(noBlocks, s, m).haveCharge);

    // No capacity, or no load at all: a charge but no runtime.
    for (const double ah : {0.0, double(NAN), -40.0}) {
        BatteryInputs in = OnBattery(48, 1000);
        in.capacityAh = ah;
        const BatteryEstimate e = EstimateBattery(in, s, m);
        EXPECT_TRUE(e.haveCharge);
        EXPECT_FALSE(e.haveRuntime) << ah;
    }
    BatteryInputs idle = OnBattery(48, NAN);
    idle.loadPercent = NAN;
    EXPECT_FALSE(EstimateBattery(idle, s, m).haveRuntime);
    // With the power missing, the load share of the rating stands in for it.
    BatteryInputs byLoad = OnBattery(48, 0);
    byLoad.loadPercent = 20;
    EXPECT_NEAR(EstimateBattery(byLoad, s, m).runtime, EstimateBattery(OnBattery(48, 1000), s, m).runtime, 1);
    // A learned factor that is not a number is taken as none.
    BatteryModel bad;
    bad.capacityFactor = NAN;
    EXPECT_EQ(EstimateBattery(OnBattery(48, 1000), s, bad).runtime, EstimateBattery(OnBattery(48, 1000), s, m).runtime);

    // LB from the estimate only on battery and only when allowed.
    BatteryEstimate e;
    e.haveCharge = e.haveRuntime = true;
    e.charge = 50;
    e.runtime = 200;
    EXPECT_TRUE(EstimateIsLow(e, OnBattery(48, 1000), s));
    BatteryInputs online = OnBattery(48, 1000);
    online.onBattery = false;
    EXPECT_FALSE(EstimateIsLow(e, online, s));
    BatterySettings off;
    off.lowFromEstimate = false;
    EXPECT_FALSE(EstimateIsLow(e, OnBattery(48, 1000), off));
}

// A battery that behaves as the estimator's own voltage model says, but holds `factor` of its
// nameplate: full discharges at 1500 W to low battery, the mains back in between.
double DischargeOnce(BatteryTracker* t, const BatterySettings& s, double factor, double* clock, double stopAt = 0) {
    const double watts = 1500;
    double charge = 1;
    double volts = 0;
    double predicted = -1;
    for (int step = 0;; ++step) {
        const double amps = volts > 0 ? watts / s.efficiency / volts : watts / s.efficiency / 50;
        BatteryInputs in = OnBattery(0, watts);
        const double r = BatteryResistance(in, s);
        volts = 4 * (s.emptyVolts + charge * (s.fullVolts - s.emptyVolts) - amps * r);
        const bool empty = charge <= 0.01;
        in.volts = empty ? 4 * s.lowVolts - 1 : volts;
        BatteryEstimate e;
        TrackBattery(t, in, s, *clock, &e);
        if (step == 1) predicted = e.runtime;
        if (empty || (stopAt > 0 && charge <= stopAt)) break;
        charge -= 10 / (PeukertHours(40, amps, s.peukert) * 3600 * std::pow(factor, s.peukert));
        *clock += 10;
    }
    BatteryInputs mains = OnBattery(54, 1500);
    mains.onBattery = false;
    mains.floating = true;
    BatteryEstimate e;
    *clock += 10;
    TrackBattery(t, mains, s, *clock, &e);
    return predicted;
}

TEST(BatteryLearning, ConvergesOnAnAgedBatteryAndIgnoresWhatTeachesNothing) {
    const BatterySettings s;
    double clock = 0;
    BatteryTracker t;
    DischargeOnce(&t, s, 0.7, &clock);
    EXPECT_EQ(t.model.discharges, 1);
    EXPECT_NEAR(t.model.capacityFactor, 0.7, 0.05);  // one full discharge does most of it
    for (int i = 0; i < 4; ++i) DischargeOnce(&t, s, 0.7, &clock);
    EXPECT_EQ(t.model.discharges, 5);
    EXPECT_NEAR(t.model.capacityFactor, 0.7, 0.03);

    // A discharge cut short by the mains at 40 % still teaches; a 20 s outage does not.
    BatteryTracker partial;
    DischargeOnce(&partial, s, 0.6, &clock, 0.4);
    EXPECT_EQ(partial.model.discharges, 1);
    EXPECT_LT(partial.model.capacityFactor, 0.8);
    BatteryTracker brief;
    BatteryEstimate e;
    for (int i = 0; i <= 2; ++i) TrackBattery(&brief, OnBattery(47 - 0.2 * i, 1500), s, clock + 10 * i, &e);
    BatteryInputs back = OnBattery(54, 1500);
    back.onBattery = false;
    EXPECT_FALSE(TrackBattery(&brief, back, s, clock + 30, &e));
    EXPECT_EQ(brief.model.discharges, 0);

    // Two minutes without a reading in the middle: the power then is unknown, nothing is learned.
    BatteryTracker gap;
    TrackBattery(&gap, OnBattery(48, 1500), s, 0, &e);
    TrackBattery(&gap, OnBattery(47, 1500), s, 30, &e);
    TrackBattery(&gap, OnBattery(45, 1500), s, 150, &e);
    EXPECT_FALSE(TrackBattery(&gap, OnBattery(4 * s.lowVolts - 1, 1500), s, 160, &e));
    EXPECT_EQ(gap.model.discharges, 0);

    // After the outage the charge climbs back at the charger's pace, not at the float voltage's.
    BatteryTracker after;
    TrackBattery(&after, OnBattery(44, 1500), s, 0, &e);
    const double left = e.charge;
    BatteryInputs charging = OnBattery(56, 1500);
    charging.onBattery = false;
    charging.charging = true;
    TrackBattery(&after, charging, s, 600, &e);
    EXPECT_NEAR(e.charge, left + 1.5, 0.5);  // 10 minutes at 9 % an hour
    charging.charging = false;
    charging.floating = true;
    TrackBattery(&after, charging, s, 1200, &e);
    EXPECT_EQ(e.charge, 100);
}

TEST(BatteryModelFile, RoundTripsAndABadFileLeavesTheDefaults) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("battery-model-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                       "-" + std::to_string(reinterpret_cast<uintptr_t>(&dir)));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "unit.state").string();
    BatteryModel m;
    m.capacityFactor = 0.8125;
    m.discharges = 7;
    std::string error;
    ASSERT_TRUE(SaveBatteryModel(path, m, &error)) << error;
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    BatteryModel back;
    ASSERT_TRUE(LoadBatteryModel(path, &back));
    EXPECT_EQ(back.capacityFactor, m.capacityFactor);
    EXPECT_EQ(back.discharges, 7);

    const char* bad[] = {
        "",
        "garbage",
        "version=1\ncapacity_factor=0.9\n",                     // a key missing
        "version=2\ncapacity_factor=0.9\ndischarges=1\n",       // a later format
        "version=1\ncapacity_factor=nan\ndischarges=1\n",
        "version=1\ncapacity_factor=9\ndischarges=1\n",         // out of range
        "version=1\ncapacity_factor=0.9\ndischarges=1.5\n",
        "version=1\ncapacity_factor=0,9\ndischarges=1\n",       // a comma
        "version=1\ncapacity_factor=0.9\ndischarges=1\nx=1\n",  // unknown key
    };
    for (const char* text : bad) {
        std::ofstream(path, std::ios::trunc) << text;
        BatteryModel loaded;
        EXPECT_FALSE(LoadBatteryModel(path, &loaded)) << text;
        EXPECT_EQ(loaded.capacityFactor, 1.0) << text;
        EXPECT_EQ(loaded.discharges, 0) << text;
    }
    std::ofstream(path, std::ios::trunc) << std::string(100000, '#');
    BatteryModel loaded;
    EXPECT_FALSE(LoadBatteryModel(path, &loaded));
    EXPECT_FALSE(LoadBatteryModel((dir / "missing").string(), &loaded));
    // Comments and blanks are fine.
    std::ofstream(path, std::ios::trunc) << "# learned\n version = 1 \ncapacity_factor=0.5\r\ndischarges=2\n";
    EXPECT_TRUE(LoadBatteryModel(path, &loaded));
    EXPECT_EQ(loaded.capacityFactor, 0.5);

    // A folder that is not there: an error that names the file, nothing left behind.
    EXPECT_FALSE(SaveBatteryModel((dir / "no" / "unit.state").string(), m, &error));
    EXPECT_NE(error.find("unit.state"), std::string::npos);
    std::filesystem::remove_all(dir);
}

}  // namespace
