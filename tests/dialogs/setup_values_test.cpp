#include <cfloat>
#include <cmath>

#include "dialogs/setup_values.h"
#include "support.h"

namespace {

UpsSetup SampleSetup() {
    UpsSetup s{};
    s.ampereh = 10;
    s.vCycle = 56.456;
    s.vStandby = 54;
    s.numBatt = 5;
    s.sizeCode = 2;
    s.functionMode = 1;
    s.inputMode = 131;
    s.vbattTh1 = 48.5;
    s.extra1 = 1.25;
    s.ibattTh1 = 3.5;
    s.extra2 = 2.5;
    s.ibattTh2 = 4;
    s.extra3 = 3.5;
    s.extra4 = 4.5;
    s.pwmLinMax = 1250;
    s.pwmLinMin = 0;
    s.delay3 = 1.5;
    s.rl1 = 1;
    s.rl2 = 0;
    s.releMod = 1;
    const int periods[8] = {1000, 800, 625, 500, 400, 320, 250, 200};
    for (int k = 0; k < 8; ++k) {
        s.pow[k] = 500 * (k + 1);
        s.period[k] = periods[k];
    }
    s.fattore = 0.8;
    s.delay5 = 30;
    s.slope = 9.5;
    s.fStartPeriod = 0.02;
    s.fStopPeriod = 0;
    s.extra5 = 77;
    return s;
}

TEST(SetupValues, FillConvertsToTotalsAndUserUnits) {
    SetupValues v;
    FillFromSetup(SampleSetup(), v);
    EXPECT_EQ(v.ampereh, 20);
    EXPECT_EQ(v.vcycle, "56.46");
    EXPECT_EQ(v.vstandby, "54.00");
    EXPECT_EQ(v.numBatt, 3);
    EXPECT_EQ(v.numBoard, 1);
    EXPECT_EQ(v.enable, 1);
    EXPECT_EQ(v.inputMode, 4);
    EXPECT_EQ(v.rl1, 1);
    EXPECT_EQ(v.releMod, 1);
    EXPECT_EQ(v.ibattTh1, 7.0);
    EXPECT_EQ(v.ibattTh2, 8.0);
    EXPECT_EQ(v.pwmLinMax, 2.5);
    EXPECT_EQ(v.pwmLinMin, -10.0);
    EXPECT_EQ(v.slope, 10);
    EXPECT_EQ(v.fStart, "50.00");
    EXPECT_EQ(v.fStop, "0.00");
    EXPECT_EQ(v.pow[7], 8000);
    EXPECT_EQ(v.pfreq[0], 25.0);
    EXPECT_EQ(v.pfreq[3], 50.0);
    EXPECT_EQ(v.pfreq[4], 62.5);
}

TEST(SetupValues, UnknownDeviceValuesKeepConstructionEntries) {
    UpsSetup s{};  // sizeCode 0: set-up not yet received
    s.numBatt = 7;
    s.ampereh = 12;
    s.ibattTh1 = 3;
    s.pow[2] = 100;
    SetupValues v;
    FillFromSetup(s, v);
    EXPECT_EQ(v.numBatt, 2);  // "4"
    EXPECT_EQ(v.numBoard, 0);  // "5k"
    EXPECT_EQ(v.ampereh, 0);
    EXPECT_EQ(v.ibattTh1, 0.0);
    EXPECT_EQ(v.pow[2], 0);
    EXPECT_EQ(v.pfreq[0], 0.0);
}

TEST(SetupValues, UnchangedRoundTripAndTheKnownTruncation) {
    const UpsSetup read = SampleSetup();
    SetupValues v;
    FillFromSetup(read, v);
    UpsSetup write = read;
    StoreToSetup(v, write);
    EXPECT_EQ(write.period[4], 400);
    EXPECT_EQ(write.period[3], 499);  // 1 / 50 / 0.00004 falls just short of 500
    EXPECT_EQ(write.ampereh, 10);
    EXPECT_EQ(write.pwmLinMax, 1250);
    EXPECT_EQ(write.pwmLinMin, 0);
    EXPECT_EQ(write.inputMode, 131);
    EXPECT_EQ(write.sizeCode, 2);
    EXPECT_EQ(write.numBatt, 5);
    EXPECT_DOUBLE_EQ(write.fStartPeriod, 0.02);
    EXPECT_EQ(write.fStopPeriod, 0.0);
    EXPECT_EQ(write.slope, 10.0);
    EXPECT_EQ(write.vCycle, 56.46);
    EXPECT_EQ(write.extra1, 1.25);
    EXPECT_EQ(write.extra4, 4.5);
    EXPECT_EQ(write.extra5, 77);
}

TEST(SetupValues, StoreDividesBySizeAndConvertsUnits) {
    SetupValues v;
    v.numBoard = 1;  // "10k"
    v.ampereh = 25;
    v.ibattTh1 = 5;
    v.inputMode = 4;  // "DC/AC3"
    v.pwmLinMax = 2.5;
    v.pwmLinMin = -10;
    v.fStart = "50";
    v.fStop = "0";
    v.pow[0] = 10001;
    v.pfreq[0] = 62.5;
    UpsSetup w{};
    StoreToSetup(v, w);
    EXPECT_EQ(w.ampereh, 12);
    EXPECT_EQ(w.ibattTh1, 2.5);
    EXPECT_EQ(w.inputMode, 131);
    EXPECT_EQ(w.pwmLinMax, 1250);
    EXPECT_EQ(w.pwmLinMin, 0);
    EXPECT_DOUBLE_EQ(w.fStartPeriod, 0.02);
    EXPECT_EQ(w.fStopPeriod, 0.0);
    EXPECT_EQ(w.pow[0], 5000);
    EXPECT_EQ(w.period[0], 400);
    EXPECT_EQ(w.numBatt, 4);
}

TEST(SetupValues, TextsThatAreNoNumberKeepTheReportedValues) {
    UpsSetup w{};
    w.vCycle = 55.5;
    w.fStartPeriod = 0.04;
    w.fStopPeriod = 0.05;
    SetupValues v;
    v.vcycle = "n/a";
    v.fStart = "";
    v.fStop = " 25 Hz";
    StoreToSetup(v, w);
    EXPECT_EQ(w.vCycle, 55.5);
    EXPECT_EQ(w.fStartPeriod, 0.04);
    EXPECT_EQ(w.fStopPeriod, 0.04);
}

TEST(SetupValues, ExtremeValuesStayDefined) {
    UpsSetup s{};
    s.sizeCode = 3;
    s.ampereh = INT32_MAX;
    s.pow[0] = INT32_MIN;
    s.period[0] = -400;
    s.slope = 1e300;
    s.fStartPeriod = 1e-320;
    SetupValues v;
    FillFromSetup(s, v);
    EXPECT_EQ(v.ampereh, INT32_MAX);
    EXPECT_EQ(v.pow[0], INT32_MIN);
    EXPECT_EQ(v.pfreq[0], -62.5);
    EXPECT_EQ(v.slope, INT32_MAX);

    SetupValues big;
    big.pfreq[0] = 1e-300;   // period beyond int32
    big.pfreq[1] = 1e300;    // period truncates to 0
    big.pfreq[2] = 5e-324;   // 1 / f is not finite
    big.pwmLinMax = DBL_MAX;
    big.pwmLinMin = -DBL_MAX;
    big.fStart = "4.9e-324";
    UpsSetup w{};
    StoreToSetup(big, w);
    EXPECT_EQ(w.period[0], INT32_MAX);
    EXPECT_EQ(w.period[1], 0);
    EXPECT_EQ(w.period[2], INT32_MAX);
    EXPECT_EQ(w.pwmLinMax, INT32_MAX);
    EXPECT_EQ(w.pwmLinMin, INT32_MIN);
    EXPECT_EQ(w.fStartPeriod, 0.0);
    EXPECT_EQ(TruncateToInt32(NAN), 0);
}

SetupValues GoodCurve(int numBoard) {
    SetupValues v;
    v.numBoard = numBoard;
    for (int k = 0; k < 8; ++k) {
        v.pfreq[k] = 40 + k;
        v.pow[k] = 100 * k;
    }
    return v;
}

TEST(SetupValues, CurveChecks) {
    EXPECT_EQ(CheckPowerCurve(GoodCurve(0)), "");
    SetupValues v = GoodCurve(0);
    v.pow[3] = v.pow[2];  // equal powers pass
    EXPECT_EQ(CheckPowerCurve(v), "");
    v.pfreq[3] = v.pfreq[2];  // equal frequencies do not
    EXPECT_EQ(CheckPowerCurve(v), "Frequency/power values must be in ascending order");
    v = GoodCurve(0);
    v.pow[5] = 0;
    EXPECT_EQ(CheckPowerCurve(v), "Frequency/power values must be in ascending order");

    v = SetupValues{};  // all frequencies 0: order fails before the sign check
    EXPECT_EQ(CheckPowerCurve(v), "Frequency/power values must be in ascending order");
    v = GoodCurve(0);
    v.pfreq[0] = 0;
    EXPECT_EQ(CheckPowerCurve(v), "Frequency/power values must be positive");
    v = GoodCurve(0);
    for (int k = 0; k < 8; ++k) v.pow[k] -= 100;
    EXPECT_EQ(CheckPowerCurve(v), "Frequency/power values must be positive");

    // Largest accepted row power per size: 5000, 10001, 15002.
    const int limits[3] = {5000, 10001, 15002};
    for (int s = 0; s < 3; ++s) {
        v = GoodCurve(s);
        v.pow[7] = limits[s];
        EXPECT_EQ(CheckPowerCurve(v), "") << s;
        v.pow[7] = limits[s] + 1;
        EXPECT_EQ(CheckPowerCurve(v), "Power values exceed size") << s;
    }
}

}  // namespace
