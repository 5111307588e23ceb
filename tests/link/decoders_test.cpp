// Reply payloads into record values, and the state texts that follow a status reply.
#include <cmath>
#include <cstring>
#include <random>

#include "link_fakes.h"

namespace {

class DecodeTest : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        ups = &MainUps[0];
    }
    void Word(int offset, unsigned value) {
        ups->payload[offset] = static_cast<uint8_t>(value >> 8);
        ups->payload[offset + 1] = static_cast<uint8_t>(value);
    }
    void Text(int offset, const char* text) { std::memcpy(ups->payload + offset, text, std::strlen(text)); }
    _ZozeUps* ups = nullptr;
};

TEST_F(DecodeTest, StatusBlockConversions) {
    Word(0, 0x1C44);
    Word(2, 0x0064);
    Word(12, 0x01F4);
    Word(14, 0x0700);
    Word(24, 0x1980);
    Word(26, 0x6FD0);
    Word(28, 0x8200);
    Word(32, 2);
    Word(34, 0xFFFF);
    Word(36, 0xFFF6);
    Word(38, 3);
    Word(50, 0xABCD);
    DecodeStatus(ups);
    const UpsStatusBlock& s = ups->status;
    EXPECT_NEAR(s.inputVoltage, 136.1, 0.05);
    EXPECT_EQ(s.inputFrequency, 0.0);
    EXPECT_DOUBLE_EQ(s.outputFrequency, 50.0);
    EXPECT_DOUBLE_EQ(s.batteryVoltage, 56.0);
    EXPECT_DOUBLE_EQ(s.inverterTemperature, 50.0);
    EXPECT_DOUBLE_EQ(s.caseTemperature, 5.375);
    EXPECT_EQ(s.flags12, 0x8200);
    EXPECT_EQ(s.standbyReason, -1);
    EXPECT_DOUBLE_EQ(s.batteryTemperature, -10.0);
    EXPECT_EQ(s.powerUnits, 3u);
    EXPECT_EQ(s.ccbStatus, 0xABCDu);
    EXPECT_STREQ(ups->stateText, "On_Line");
    EXPECT_STREQ(ups->stateDetail, "Charging");

    Word(2, 10000);
    Word(12, 0);
    DecodeStatus(ups);
    EXPECT_DOUBLE_EQ(ups->status.inputFrequency, 250.0);
    EXPECT_TRUE(std::isinf(ups->status.outputFrequency));
    EXPECT_EQ(DecodeStatusBlock(&ups->batteryFailure, ups->payload), 52);
}

TEST_F(DecodeTest, SystemFailureCarriesItsCounters) {
    Word(32, 18);
    for (int i = 0; i < 17; ++i) Word(52 + 2 * i, 100 + i);
    DecodeSystemFailure(ups);
    EXPECT_EQ(ups->systemFailure.stateCode, 18);
    EXPECT_EQ(ups->failureCounters[0], 100);
    EXPECT_EQ(ups->failureCounters[16], 116);
    EXPECT_STREQ(ups->stateText, "Timeout");  // only the live status names the state
}

TEST_F(DecodeTest, HistoryDropsTheRemainderBeforeSubtracting) {
    Word(0, 0x0001);
    Word(2, 0x0002);  // high word second: 0x00020001
    Word(24, 0x1980);
    Word(50, 7);
    Word(52, 9);
    DecodeHistory(ups);
    EXPECT_EQ(ups->historyDurationA[0], 0x00020001u);
    EXPECT_DOUBLE_EQ(ups->historyMaxTemperature, 50.0);
    EXPECT_EQ(ups->historyCount[0], 7);
    EXPECT_EQ(ups->historyCount[1], 9);
    Word(24, 0x19FF);
    DecodeHistory(ups);
    EXPECT_DOUBLE_EQ(ups->historyMaxTemperature, 50.0);
}

TEST_F(DecodeTest, TextsAreCutAndTerminated) {
    Text(0, "1.04 rev 7");
    DecodeVersion(ups);
    EXPECT_STREQ(ups->firmwareVersion, "1.04 ");
    std::memset(ups->payload, 'X', 100);
    DecodeIdentity(ups);
    EXPECT_STREQ(ups->productCodeRead, "XXXXXXXX");
    EXPECT_STREQ(ups->serialNumberRead, "XXXXXXXX");
    DecodeProtocolAdds(ups);
    EXPECT_EQ(std::strlen(ups->protocolAddsRead.buildDate), 8u);
    EXPECT_EQ(std::strlen(ups->protocolAddsRead.servicePhone), 20u);
    std::memset(ups->payload, 0, 100);
    Text(0, "1.2");
    DecodeVersion(ups);
    EXPECT_STREQ(ups->firmwareVersion, "1.2");
    Text(12, "Vespero 3000");
    Text(72, "+39 02 1234");
    DecodeProtocolAdds(ups);
    EXPECT_STREQ(ups->protocolAddsRead.modelName, "Vespero 3000");
    EXPECT_STREQ(ups->protocolAddsRead.servicePhone, "+39 02 1234");
}

TEST_F(DecodeTest, SignedAndUnsignedWords) {
    for (int i = 0; i < 16; ++i) Word(2 * i, 0xFFFF - i);
    DecodeDebug(ups);
    EXPECT_EQ(ups->debugRead[0], -1);
    EXPECT_EQ(ups->debugRead[11], -12);
    DecodeAdAmplitudes(ups);
    EXPECT_EQ(ups->adAmplitudeRead[15], -16);
    EXPECT_EQ(ups->adReadFlags, 1);
    DecodeAdOffsets(ups);
    EXPECT_EQ(ups->adReadFlags, 3);
    DecodeAux(ups);
    EXPECT_EQ(ups->auxWord[0], 0xFFFF);
    EXPECT_EQ(ups->auxLong, 0xFFF6FFF7u);
    EXPECT_EQ(ups->auxWordB[0], 0xFFFF - 10);
    DecodeBatteryTest(ups);
    EXPECT_EQ(ups->batteryTestStatus, 0xFFFF);
    EXPECT_EQ(ups->batteryTestTime[0], 0xFFFDFFFEu);
    DecodeTuning(ups);
    EXPECT_EQ(ups->tuningValue[15], -16);
    EXPECT_EQ(ups->k0, 0);
    DecodeAnalog(ups);
    EXPECT_DOUBLE_EQ(ups->analogValue[0], 65535 * 3.2 / 1024);
}

TEST_F(DecodeTest, SetupAndUserParametersAreScaled) {
    Word(0, 40);
    Word(2, 64 * 27);
    Word(16, 15);
    Word(18, 20);
    Word(32, 100);
    Word(72, 512);
    Word(76, 2);
    Word(78, 625);
    DecodeSetup(ups);
    const UpsSetup& s = ups->setupRead;
    EXPECT_EQ(s.ampereh, 40);
    EXPECT_DOUBLE_EQ(s.vCycle, 27.0);
    EXPECT_DOUBLE_EQ(s.extra1, 1.5);
    EXPECT_DOUBLE_EQ(s.ibattTh1, 2.5);
    EXPECT_DOUBLE_EQ(s.delay3, 2.0);
    EXPECT_DOUBLE_EQ(s.fattore, 0.5);
    EXPECT_DOUBLE_EQ(s.slope, 12.5);
    EXPECT_DOUBLE_EQ(s.fStartPeriod, 0.025);
    EXPECT_EQ(ups->setupValid, 1);

    std::memset(ups->payload, 0, 64);
    Word(0, 0xFFFF);
    Word(2, 20664);
    DecodeUserParams(ups);
    EXPECT_EQ(ups->userParamsRead.upsAddress, 0xFFFFu);
    EXPECT_NEAR(ups->userParamsRead.rmsLevel[0], 230.0, 0.01);
}

TEST_F(DecodeTest, StateTexts) {
    struct Case {
        unsigned state, flags;
        int reason;
        const char* text;
        const char* detail;
    } cases[] = {
        {2, 0x0200, 0, "On_Line", "Charging"},
        {2, 0x0000, 0, "On_Line", "Charged"},
        {3, 0, 17, "Emergency Power OFF", "Unknown"},
        {3, 0, 19, "Stand_By", "Unknown"},
        {3, 0, -1, "Stand_By", "Unknown"},
        {3, 0, 0, "Stand_By", "Unknown"},
        {3, 0, 18, "Bad Relay", "Unknown"},
        {0, 0, 0, "Starting_pre_PFC", "Unknown"},
        {4, 0, 0, "Bypass or Eco Mode", "Unknown"},
        {16, 0, 0, "Battery_Starting_pre_PFC", "In_Use"},
        {18, 0, 0, "On_Battery", "In_Use"},
    };
    for (const Case& c : cases) {
        ups->status.stateCode = static_cast<uint16_t>(c.state);
        ups->status.flags12 = static_cast<uint16_t>(c.flags);
        ups->status.standbyReason = static_cast<int16_t>(c.reason);
        StatusTexts(ups);
        EXPECT_STREQ(ups->stateText, c.text) << c.state << "/" << c.reason;
        EXPECT_STREQ(ups->stateDetail, c.detail) << c.state << "/" << c.reason;
    }
    ups->status.stateCode = 2;
    StatusTexts(ups);
    ups->status.stateCode = 7;
    StatusTexts(ups);
    EXPECT_STREQ(ups->stateText, "On_Line");
    EXPECT_STREQ(ups->stateDetail, "Unknown");
    ups->status.stateCode = 0xFFFF;
    StatusTexts(ups);
    EXPECT_STREQ(ups->stateText, "On_Line");
}

// Every decoder over random payloads: values land, char fields stay terminated.
TEST_F(DecodeTest, RandomPayloadsKeepEveryTextTerminated) {
    std::mt19937 rng(3);
    for (int round = 0; round < 50; ++round) {
        for (uint8_t& b : ups->payload) b = static_cast<uint8_t>(rng());
        for (int i = 0; CommandTable[i].code != -1; ++i) CommandTable[i].decode(ups);
        EXPECT_LE(std::strlen(ups->firmwareVersion), 5u);
        EXPECT_LT(strnlen(ups->stateText, sizeof ups->stateText), sizeof ups->stateText);
        EXPECT_LT(strnlen(ups->productCodeRead, 9), 9u);
        EXPECT_LT(strnlen(ups->protocolAddsRead.serviceContact, 21), 21u);
    }
}

}  // namespace
