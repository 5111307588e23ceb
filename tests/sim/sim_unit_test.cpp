#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/sim_unit.h"

namespace {

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

TEST(SimUnit, AnswersTheVersionQueryWithTheDocumentedReply) {
    sim::Unit unit{sim::UnitOptions{}};
    const std::string reply = unit.Answer({0x80, 'V'});
    ASSERT_EQ(reply.size(), 46u);
    EXPECT_EQ(reply.substr(2, 8), "312E3034");  // "1.04"
    EXPECT_EQ(reply.substr(42), "077B");
}

// Set frames cut short anywhere must neither crash the unit nor be taken as data.
TEST(SimUnit, ShortSetFramesAreAcknowledgedWithoutReadingPastThem) {
    sim::Unit unit{sim::UnitOptions{}};
    for (const char c : {'S', 'U', 'D', 'G', 'b', 'k', 'P', 'T', '#', 'O', 'R', 'W'}) {
        for (size_t n = 2; n < 8; ++n) {
            std::vector<uint8_t> frame = Bytes(std::string("\x80") + c + "0123456789");
            frame.resize(n);
            EXPECT_NO_FATAL_FAILURE(unit.Answer(frame)) << c << " length " << n;
        }
    }
}

TEST(SimUnit, PoisonedStatusCarriesAnImpossibleStateAndAWrongChecksum) {
    sim::Unit unit{sim::UnitOptions{}};
    const std::string good = unit.Answer({0x80, '3'});
    const std::string bad = unit.Poison({0x80, '3'});
    ASSERT_EQ(bad.size(), good.size());
    EXPECT_EQ(bad.substr(2 + 64, 4), "7FFF");
    EXPECT_NE(sim::ReplySum(bad.substr(0, bad.size() - 4)),
              std::stoul(bad.substr(bad.size() - 4), nullptr, 16));
}

// Battery voltage of a status reply, in volts (payload bytes 14-15, 1/32 V).
double StatusVolts(sim::Unit& unit) {
    const std::string r = unit.Answer({0x80, '3'});
    return double(std::stoul(r.substr(2 + 28, 4), nullptr, 16)) / 32;
}

TEST(SimBattery, SagsWithLoadFallsOnBatteryRecoversOnLineAndYieldsToAForcedVoltage) {
    sim::UnitOptions o;
    o.model = true;
    o.stateCode = 18;
    o.loadPercent = 25;
    sim::Unit unit{o};
    const double light = StatusVolts(unit);
    o.loadPercent = 100;
    unit.SetOptions(o);
    EXPECT_LT(StatusVolts(unit), light - 2);  // four blocks, about 1 V each at full load

    // Falling all the way at 50 %, to below 10.5 V a block within the hour, faster near the end.
    o.loadPercent = 50;
    unit.SetOptions(o);
    double previous = StatusVolts(unit);
    double seconds = 0;
    while (StatusVolts(unit) >= 42 && seconds < 3600) {
        unit.Advance(30);
        seconds += 30;
        EXPECT_LE(StatusVolts(unit), previous);
        previous = StatusVolts(unit);
    }
    EXPECT_GT(seconds, 600);
    EXPECT_LT(seconds, 3600);

    // The mains back: charging (flag 0x0200) above the rested voltage, then float at 54 V.
    o.stateCode = 2;
    unit.SetOptions(o);
    EXPECT_GT(StatusVolts(unit), 48);
    EXPECT_EQ(unit.Answer({0x80, '3'}).substr(2 + 56, 4), "0200");
    unit.Advance(12 * 3600);
    EXPECT_DOUBLE_EQ(StatusVolts(unit), 54.0);
    EXPECT_EQ(unit.Answer({0x80, '3'}).substr(2 + 56, 4), "0000");

    o.batteryVolts = 40;
    unit.SetOptions(o);
    EXPECT_DOUBLE_EQ(StatusVolts(unit), 40.0);
}

}  // namespace
