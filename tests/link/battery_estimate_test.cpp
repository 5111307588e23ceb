// The charge and runtime estimator: the discharge tables it stands on, replayed against published
// datasheets; learning across loads; the resistance watch; LB's conservative figure; a charge that
// does not jump; and the learned model's file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "link/battery_estimate.h"

namespace {

// XLNT Power XLT12-40 (12 V 40 Ah), constant current to 1.75 V a cell at 20 C, from the maker's
// datasheet: a block from outside the default table's sources, much weaker at high rates.
const char kXlt1240[] =
    "# XLNT Power XLT12-40, 1.75 V a cell, 20 C\n"
    "capacity_ah,40\nminutes,amps\n"
    "5,93.5\n10,68.2\n15,54.5\n20,43.9\n30,33.6\n45,25.1\n60,19.9\n120,12.4\n180,9.49\n"
    "240,7.72\n300,6.27\n360,5.53\n480,4.39\n600,3.72\n1200,1.94\n";

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

BatteryInputs Floating() {
    BatteryInputs in = OnBattery(54, 1000);
    in.onBattery = false;
    in.floating = true;
    return in;
}

DischargeTable Parsed(const std::string& text) {
    DischargeTable t;
    std::string error;
    EXPECT_TRUE(ParseDischargeTable(text, &t, &error)) << error;
    return t;
}

// A steady discharge at `amps` from a full battery, as the unit reports it: the voltage falls to
// the end voltage over `trueSeconds`. Returns the whole time the estimate 10 s in
// predicts, and the true time left when LB came.
struct Replay {
    double predicted = 0;
    double lbLeft = -1;
};

Replay SteadyDischarge(BatteryTracker* t, const BatterySettings& s, double amps, double trueSeconds, double* clock) {
    BatteryEstimate e;
    TrackBattery(t, Floating(), s, *clock, &e);
    Replay r;
    const double step = std::max(1.0, std::min(10.0, trueSeconds / 200));
    for (double at = 0;; at += step) {
        *clock += step;
        // From the full block's sag under this current (12.5 mOhm) down to 10.6 V a block.
        const double start = 4 * (s.fullVolts - 0.0125 * amps);
        const double volts = at >= trueSeconds ? 4 * s.lowVolts - 0.5 : start - (start - 42.4) * at / trueSeconds;
        // The power that draws this current at this voltage through the inverter.
        const BatteryInputs in = OnBattery(volts, amps * volts * s.efficiency);
        TrackBattery(t, in, s, *clock, &e);
        if (r.predicted == 0 && at >= 10) r.predicted = e.runtime + at;
        if (r.lbLeft < 0 && EstimateIsLow(e, in, s)) r.lbLeft = trueSeconds - at;
        if (at >= trueSeconds) break;
    }
    *clock += 10;
    TrackBattery(t, Floating(), s, *clock, &e);
    return r;
}

TEST(DischargeTable, ReplaysItsOwnRowsAndAnotherMakersDatasheetWithinTenPercent) {
    const DischargeTable xlt = Parsed(kXlt1240);
    ASSERT_EQ(xlt.points.size(), 15u);
    EXPECT_NE(xlt.source.find("XLT12-40"), std::string::npos);
    for (const DischargeTable* table : {&DefaultDischargeTable(), &xlt}) {
        BatterySettings s;
        s.table = table;
        double clock = 0;
        for (const DischargePoint& row : table->points) {
            if (row.seconds < 60 || row.seconds > 10 * 3600) continue;  // a reading every 10 s at most
            BatteryTracker fresh;
            const Replay r = SteadyDischarge(&fresh, s, row.ampsPerAh * 40, row.seconds, &clock);
            EXPECT_NEAR(r.predicted / row.seconds, 1.0, 0.10) << table->source << row.seconds / 60 << " min";
        }
    }
}

TEST(DischargeTable, TheShippedTablesAreSaneAndOwnFilesAreCheckedLineByLine) {
    // Capacity falls with the rate, about the nameplate at 20 hours, and the weakest table is
    // nowhere stronger than the typical one.
    for (const DischargeTable* t : {&DefaultDischargeTable(), &WeakestDischargeTable()}) {
        ASSERT_GE(t->points.size(), 9u);
        EXPECT_FALSE(t->source.empty());
        for (size_t i = 1; i < t->points.size(); ++i) {
            const DischargePoint &a = t->points[i - 1], &b = t->points[i];
            EXPECT_LT(b.ampsPerAh * b.seconds, a.ampsPerAh * a.seconds) << i;
        }
        EXPECT_NEAR(TableSeconds(*t, 0.05) / (20 * 3600), 1.0, 0.05);
    }
    for (const double rate : {0.05, 0.3, 1.0, 3.0})
        EXPECT_LE(TableSeconds(WeakestDischargeTable(), rate), TableSeconds(DefaultDischargeTable(), rate)) << rate;
    EXPECT_TRUE(std::isnan(TableSeconds(DefaultDischargeTable(), 0)));

    const struct {
        const char* text;
        const char* error;
    } bad[] = {
        {"minutes,amps\n5,100\n10,70\n", "capacity_ah is missing"},
        {"capacity_ah,40\n5,100\n", "line 2: rows must follow the heading"},
        {"capacity_ah,40\nminutes,watts\n", "line 2: the heading must be minutes,amps"},
        {"capacity_ah,40\nminutes,amps\n5,100\n", "at least two rows"},
        {"capacity_ah,40\nminutes,amps\n5,100\n10,120\n", "line 4: a longer time must come with a smaller current"},
        {"capacity_ah,40\nminutes,amps\n5,100\n10,70\n7,80\n", "in order of time"},
        {"capacity_ah,-1\nminutes,amps\n", "line 1: capacity_ah must be"},
        {"capacity_ah,40\nminutes,amps\n5,1e999\n10,70\n", "line 3: minutes and amps must be positive"},
        {"capacity_ah,40\nminutes,amps\n5,100,3\n", "line 3: expected two fields"},
    };
    for (const auto& b : bad) {
        DischargeTable t;
        std::string error;
        EXPECT_FALSE(ParseDischargeTable(b.text, &t, &error)) << b.text;
        EXPECT_NE(error.find(b.error), std::string::npos) << error;
    }
    // Rows may run either way; a table is kept in order of rising current.
    const DischargeTable reversed = Parsed("capacity_ah,20\nminutes,amps\n60,10\n10,40\n");
    EXPECT_DOUBLE_EQ(reversed.points.front().ampsPerAh, 0.5);
    EXPECT_DOUBLE_EQ(TableSeconds(reversed, 0.5), 3600);
    std::string error;
    DischargeTable none;
    EXPECT_FALSE(LoadDischargeTable("/nonexistent/table.csv", &none, &error));
    EXPECT_FALSE(error.empty());
}

TEST(BatteryLearning, ADischargeCorrectsItsOwnRateAndTwoRatesBendTheRestBetweenThem) {
    // A battery that lasts as the XLT datasheet says, judged against the default table.
    const DischargeTable xlt = Parsed(kXlt1240);
    const BatterySettings s;
    auto truth = [&](double amps) { return TableSeconds(xlt, amps / 40); };
    double clock = 0;
    BatteryTracker t;
    SteadyDischarge(&t, s, 60, truth(60), &clock);
    ASSERT_EQ(t.model.discharges, 1);
    ASSERT_EQ(t.model.rates.size(), 1u);
    EXPECT_NEAR(t.model.rates[0].ampsPerAh, 1.5, 0.05);
    // At its own rate the next estimate is right (a little short: it allows for the current rising
    // as the voltage falls, which a steady current does not); with one rate learned the factor
    // holds everywhere.
    EXPECT_NEAR(SteadyDischarge(&t, s, 60, truth(60), &clock).predicted / truth(60), 0.97, 0.04);
    ASSERT_EQ(t.model.rates.size(), 1u);
    EXPECT_EQ(t.model.rates[0].discharges, 2);
    EXPECT_DOUBLE_EQ(LearnedFactor(t.model, 0.2), LearnedFactor(t.model, 3));

    // A second rate: each keeps its own, and a rate between them lies between.
    SteadyDischarge(&t, s, 12, truth(12), &clock);
    ASSERT_EQ(t.model.rates.size(), 2u);
    EXPECT_NEAR(SteadyDischarge(&t, s, 12, truth(12), &clock).predicted / truth(12), 0.97, 0.04);
    EXPECT_NEAR(SteadyDischarge(&t, s, 60, truth(60), &clock).predicted / truth(60), 0.97, 0.04);
    EXPECT_NEAR(SteadyDischarge(&t, s, 30, truth(30), &clock).predicted / truth(30), 1.0, 0.10);

    // Outages that teach nothing: 20 s; cut short by the mains; a two-minute hole in the readings.
    BatteryTracker brief;
    BatteryEstimate e;
    TrackBattery(&brief, Floating(), s, 0, &e);
    for (int i = 1; i <= 2; ++i) TrackBattery(&brief, OnBattery(47, 1500), s, 10.0 * i, &e);
    EXPECT_FALSE(TrackBattery(&brief, Floating(), s, 30, &e));
    TrackBattery(&brief, OnBattery(46, 1500), s, 40, &e);  // the sag sets the reference only
    for (int i = 1; i <= 60; ++i) TrackBattery(&brief, OnBattery(46, 1500), s, 40 + 10.0 * i, &e);
    TrackBattery(&brief, Floating(), s, 700, &e);
    TrackBattery(&brief, OnBattery(46, 1500), s, 710, &e);
    TrackBattery(&brief, OnBattery(45, 1500), s, 720, &e);
    TrackBattery(&brief, OnBattery(44, 1500), s, 900, &e);
    TrackBattery(&brief, OnBattery(4 * s.lowVolts - 1, 1500), s, 910, &e);
    EXPECT_EQ(brief.model.discharges, 0);
    EXPECT_TRUE(brief.model.rates.empty());
}

TEST(BatteryResistance, ARiseInTheSagShortensTheEstimateBeforeAnyDischargeIsLearned) {
    const BatterySettings s;
    BatteryTracker t;
    BatteryEstimate e;
    double clock = 0;
    auto outageStart = [&](double volts, double watts) {
        TrackBattery(&t, Floating(), s, clock += 10, &e);
        const bool changed = TrackBattery(&t, OnBattery(volts, watts), s, clock += 2, &e);
        TrackBattery(&t, Floating(), s, clock += 10, &e);
        return changed;
    };
    EXPECT_TRUE(outageStart(48.0, 2500));  // 0.8 V a block under about 58 A: the reference
    const double reference = t.model.referenceOhms;
    EXPECT_NEAR(reference, 0.8 / (2500 / s.efficiency / 48), 1e-4);
    const double fresh = FullBatterySeconds(OnBattery(48.0, 2500), s, t.model, 58);
    EXPECT_DOUBLE_EQ(ResistanceFactor(t.model), 1.0);

    // Five times less current is too far from the reference to compare; a like one that sags
    // 30 % more means a worn battery: a shorter runtime, and a charge that falls faster.
    EXPECT_FALSE(outageStart(50.5, 500));
    EXPECT_DOUBLE_EQ(t.model.ohms, reference);
    EXPECT_TRUE(outageStart(51.2 - 4 * 1.3 * 0.8, 2500));
    EXPECT_LT(ResistanceFactor(t.model), 0.85);
    EXPECT_LT(FullBatterySeconds(OnBattery(48.0, 2500), s, t.model, 58), 0.85 * fresh);
    TrackBattery(&t, OnBattery(48.0, 2500), s, clock += 2, &e);
    EXPECT_LE(e.lowerRuntime, e.runtime);
}

TEST(LowBattery, ComesFromTheConservativeFigureAndKeepsItsPromiseOnAWeakBattery) {
    BatterySettings s;
    // Before learning, from the shipped table: the conservative figure is the weakest block's.
    BatteryEstimate e = EstimateBattery(OnBattery(48, 2500), s, BatteryModel{});
    ASSERT_TRUE(e.haveRuntime);
    EXPECT_LT(e.lowerRuntime, 0.85 * e.runtime);
    // A battery as weak as the XLT datasheet at 25, 50 and 100 % of 5 kW: LB leaves at least 80 %
    // of runtime_low, or comes at once when the whole runtime is shorter.
    const DischargeTable xlt = Parsed(kXlt1240);
    double clock = 0;
    for (const double amps : {30.0, 60.0, 125.0}) {
        BatteryTracker t;
        const double whole = TableSeconds(xlt, amps / 40);
        const Replay r = SteadyDischarge(&t, s, amps, whole, &clock);
        if (whole <= s.runtimeLow)
            EXPECT_GE(r.lbLeft, whole - 12) << amps;
        else
            EXPECT_GE(r.lbLeft, 0.8 * s.runtimeLow) << amps;
    }
    // On line, or when the settings say so, the estimate raises nothing.
    e.charge = 5;
    e.lowerRuntime = 0;
    BatteryInputs online = OnBattery(48, 1000);
    online.onBattery = false;
    EXPECT_FALSE(EstimateIsLow(e, online, s));
    s.lowFromEstimate = false;
    EXPECT_FALSE(EstimateIsLow(e, OnBattery(48, 1000), s));
}

TEST(LowBattery, EveryVoltageWordTheUnitReportsCountsAndAnUnreadOneDoesNot) {
    const BatterySettings s;
    _ZozeUps u{};
    u.status.currentUnits = 4;
    u.status.stateCode = 18;
    EXPECT_FALSE(BatteryIsLow(u, s, nullptr));  // nothing read yet
    u.status.batteryVoltage = 48;
    u.auxWordB[2] = 400;                        // the auxiliary answer: 40.0 V
    EXPECT_TRUE(BatteryIsLow(u, s, nullptr));
    u.auxWordB[2] = 480;
    EXPECT_FALSE(BatteryIsLow(u, s, nullptr));
    u.status.batteryVoltage = 41.9;
    EXPECT_TRUE(BatteryIsLow(u, s, nullptr));
    u.status.batteryVoltage = 48;
    u.status.stateCode = 3;
    u.status.standbyReason = 8;                 // the unit's own stand-by for low battery
    EXPECT_TRUE(BatteryIsLow(u, s, nullptr));
    // And the estimate, on battery only.
    u.status.stateCode = 18;
    u.status.standbyReason = 0;
    BatteryEstimate e;
    e.haveCharge = e.haveRuntime = true;
    e.charge = 50;
    e.runtime = 900;
    e.lowerRuntime = 250;
    EXPECT_TRUE(BatteryIsLow(u, s, &e));
    e.lowerRuntime = 400;
    EXPECT_FALSE(BatteryIsLow(u, s, &e));
}

TEST(BatteryCharge, FollowsWhatWasDrawnNotTheLoadAndClimbsBackAtTheChargersPace) {
    const BatterySettings s;
    BatteryTracker t;
    BatteryEstimate e;
    TrackBattery(&t, Floating(), s, 0, &e);
    EXPECT_EQ(e.charge, 100);
    double clock = 0, largestStep = 0;
    // Steps between 25 % and 100 % of 5 kW with the voltage sagging and recovering as a block's does.
    for (const double watts : {1250.0, 5000.0, 1250.0, 5000.0}) {
        for (int i = 0; i < 20; ++i) {
            const double before = e.charge;
            TrackBattery(&t, OnBattery(watts > 2000 ? 45.5 : 49.5, watts), s, clock += 2, &e);
            if (clock > 2) largestStep = std::max(largestStep, std::fabs(e.charge - before));
        }
    }
    EXPECT_LT(largestStep, 1.0);
    EXPECT_LT(e.charge, 95);
    // The same charge at a heavier load lasts less than in proportion.
    BatteryEstimate light = e, heavy = e;
    BatteryTracker copy = t;
    TrackBattery(&copy, OnBattery(49.5, 1250), s, clock + 0.001, &light);
    TrackBattery(&t, OnBattery(45.5, 5000), s, clock + 0.001, &heavy);
    EXPECT_NEAR(light.charge, heavy.charge, 0.1);
    EXPECT_GT(light.runtime, 5 * heavy.runtime);

    // The mains back: 10 minutes of bulk charging at 9 % an hour, then float.
    const double left = heavy.charge;
    BatteryInputs charging = OnBattery(56, 1500);
    charging.onBattery = false;
    charging.charging = true;
    TrackBattery(&t, charging, s, clock += 1, &e);
    TrackBattery(&t, charging, s, clock += 600, &e);
    EXPECT_NEAR(e.charge, left + 1.5, 0.2);
    TrackBattery(&t, Floating(), s, clock += 600, &e);
    EXPECT_EQ(e.charge, 100);

    // No history: the voltage anchors it; a long rest anchors it again.
    BatteryTracker fresh;
    TrackBattery(&fresh, OnBattery(48, 1000), s, 0, &e);
    EXPECT_NEAR(e.charge, EstimateBattery(OnBattery(48, 1000), s, BatteryModel{}).charge, 1e-9);
    BatteryInputs rest = OnBattery(47, 0);
    rest.onBattery = false;
    TrackBattery(&fresh, rest, s, 60, &e);
    const double beforeRest = e.charge;
    TrackBattery(&fresh, rest, s, 60 + 1900, &e);
    EXPECT_NE(e.charge, beforeRest);
    EXPECT_NEAR(e.charge, EstimateBattery(rest, s, BatteryModel{}).charge, 1e-9);
}

TEST(BatteryEstimate, NonsenseReadingsGiveNoFigureRatherThanAWrongOne) {
    const BatterySettings s;
    const BatteryModel m;
    for (const double v : {double(NAN), double(INFINITY), -5.0, 0.0})
        EXPECT_FALSE(EstimateBattery(OnBattery(v, 1000), s, m).haveCharge) << v;
    BatteryInputs noBlocks = OnBattery(48, 1000);
    noBlocks.blocks = 0;
    EXPECT_FALSE(EstimateBattery(noBlocks, s, m).haveCharge);
    // The settings may name the blocks and the capacity the unit does not report.
    BatterySettings named;
    named.blocks = 4;
    named.capacityAh = 40;
    noBlocks.capacityAh = 0;
    EXPECT_TRUE(EstimateBattery(noBlocks, named, m).haveRuntime);

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
}

TEST(BatteryModelFile, RoundTripsReadsTheOlderFormatAndABadFileLeavesTheDefaults) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("battery-model-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                       "-" + std::to_string(reinterpret_cast<uintptr_t>(&dir)));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "unit.state").string();
    BatteryModel m;
    m.rates = {{0.3, 0.95, 2}, {1.5, 0.8125, 5}};
    m.discharges = 7;
    m.referenceOhms = 0.0125;
    m.referenceAmpsPerAh = 1.4;
    m.ohms = 0.0150;
    m.learnedOhms = 0.0130;
    std::string error;
    ASSERT_TRUE(SaveBatteryModel(path, m, &error)) << error;
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    BatteryModel back;
    ASSERT_TRUE(LoadBatteryModel(path, &back));
    EXPECT_EQ(FormatBatteryModel(back), FormatBatteryModel(m));
    EXPECT_EQ(back.rates.size(), 2u);
    EXPECT_DOUBLE_EQ(back.rates[1].factor, 0.8125);

    // A model from before rates were learned apart: its factor at every rate.
    std::ofstream(path, std::ios::trunc) << "version=1\ncapacity_factor=0.75\ndischarges=3\n";
    ASSERT_TRUE(LoadBatteryModel(path, &back));
    EXPECT_EQ(back.discharges, 3);
    EXPECT_DOUBLE_EQ(LearnedFactor(back, 0.1), 0.75);
    EXPECT_DOUBLE_EQ(LearnedFactor(back, 3), 0.75);

    const char* bad[] = {
        "",
        "garbage",
        "version=1\ncapacity_factor=0.9\n",                          // a key missing
        "version=3\ndischarges=1\n",                                 // a later format
        "version=1\ncapacity_factor=nan\ndischarges=1\n",
        "version=1\ncapacity_factor=9\ndischarges=1\n",              // out of range
        "version=2\ndischarges=1.5\n",
        "version=2\ndischarges=1\nrate=0.3 0,9 1\n",                 // a comma
        "version=2\ndischarges=1\nrate=0.3 0.9\n",                   // a field missing
        "version=2\ndischarges=1\nrate=1.5 0.9 1\nrate=0.3 0.9 1\n", // out of order
        "version=2\ndischarges=1\nohms=-1\n",
        "version=2\ndischarges=1\nx=1\n",                            // unknown key
        "rate=0.3 0.9 1\nversion=2\ndischarges=1\n",                 // before its version
    };
    for (const char* text : bad) {
        std::ofstream(path, std::ios::trunc) << text;
        BatteryModel loaded;
        EXPECT_FALSE(LoadBatteryModel(path, &loaded)) << text;
        EXPECT_TRUE(loaded.rates.empty()) << text;
        EXPECT_EQ(loaded.discharges, 0) << text;
    }
    std::ofstream(path, std::ios::trunc) << std::string(100000, '#');
    BatteryModel loaded;
    EXPECT_FALSE(LoadBatteryModel(path, &loaded));
    EXPECT_FALSE(LoadBatteryModel((dir / "missing").string(), &loaded));

    // A folder that is not there: an error that names the file, nothing left behind.
    EXPECT_FALSE(SaveBatteryModel((dir / "no" / "unit.state").string(), m, &error));
    EXPECT_NE(error.find("unit.state"), std::string::npos);
    std::filesystem::remove_all(dir);
}

}  // namespace
