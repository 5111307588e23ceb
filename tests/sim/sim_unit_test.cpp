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

}  // namespace
