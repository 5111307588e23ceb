// Set requests: what each builder puts on the wire, and the service-value trace file.
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include "link_fakes.h"

namespace {

class BuildTest : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        ups = ReadyDevice(0, false);
        ups->frameAddress = 0x80;
    }
    // The data words of the last frame sent, decoded from its hex text.
    std::vector<int> Words() {
        std::string f = Frames(ups).back();
        std::vector<int> words;
        for (size_t i = 2; i + 4 + 4 <= f.size(); i += 4)
            words.push_back(std::stoi(f.substr(i, 4), nullptr, 16));
        return words;
    }
    // A frame's checksum is the unsigned sum of everything before it.
    void ExpectValidChecksum() {
        std::string f = Frames(ups).back();
        unsigned sum = 0;
        for (size_t i = 0; i + 4 < f.size(); ++i) sum += static_cast<uint8_t>(f[i]);
        char check[8];
        std::snprintf(check, sizeof check, "%04X", sum & 0xFFFF);
        EXPECT_EQ(f.substr(f.size() - 4), check);
    }
    _ZozeUps* ups = nullptr;
};

TEST_F(BuildTest, EveryBuilderSendsItsFrameLengthWithAValidChecksum) {
    struct Case {
        int code;
        size_t length;
    } cases[] = {{CMD_WRITE_PI, 30},           {CMD_WRITE_DEBUG, 54},
                 {CMD_STOP_SAVE, 10},          {CMD_RESET_EEPROM, 10},
                 {CMD_TEST_BATTERY, 10},       {CMD_STOP_AND_GO, 10},
                 {CMD_WRITE_SETUP, 174},       {CMD_WRITE_AD_AMPLITUDES, 70},
                 {CMD_WRITE_AD_OFFSETS, 70},   {CMD_WRITE_USER_PARAMS, 54},
                 {CMD_WRITE_PROTOCOL_ADDS_1, 70}, {CMD_WRITE_PROTOCOL_ADDS_2, 126},
                 {CMD_WRITE_IDENTITY, 38}};
    for (const Case& c : cases) {
        const CommandEntry& row = CommandTable[FindCommand(c.code)];
        row.build(row.commandChar, ups);
        std::string f = Frames(ups).back();
        EXPECT_EQ(f.size(), c.length) << c.code;
        EXPECT_EQ(f[1], row.commandChar);
        EXPECT_EQ(ups->bytesWritten, c.length);
        ExpectValidChecksum();
    }
}

TEST_F(BuildTest, SetupWordsUndoTheReadScalings) {
    UpsSetup& s = ups->setupWrite;
    s.ampereh = 40;
    s.vCycle = 27.25;
    s.extra1 = 1.5;
    s.ibattTh1 = 2.5;
    s.delay3 = 2;
    for (int i = 0; i < 8; ++i) s.pow[i] = 1000 + i;
    s.fattore = 0.5;
    s.slope = 12.5;
    s.fStartPeriod = 0.025;
    s.fStopPeriod = 0.02;
    s.extra5 = -1;
    BuildWriteSetup('U', ups);
    std::vector<int> w = Words();
    ASSERT_EQ(w.size(), 42u);
    EXPECT_EQ(w[0], 40);
    EXPECT_EQ(w[1], 1744);  // 27.25 x 64
    EXPECT_EQ(w[8], 15);
    EXPECT_EQ(w[9], 20);
    EXPECT_EQ(w[16], 100);
    EXPECT_EQ(w[20], 1000);
    EXPECT_EQ(w[27], 1007);
    EXPECT_EQ(w[36], 512);
    EXPECT_EQ(w[38], 2);    // 12.5 / 6.25 + 0.5 truncated
    EXPECT_EQ(w[39], 625);
    EXPECT_EQ(w[40], 499);  // 0.02 / 0.00004 is just below 500
    EXPECT_EQ(w[41], 0xFFFF);
}

TEST_F(BuildTest, UnrepresentableDoublesStillMakeAFrame) {
    ups->setupWrite.vCycle = std::nan("");
    ups->setupWrite.vStandby = 1e300;
    ups->setupWrite.fattore = -HUGE_VAL;
    ups->setupWrite.vbattTh1 = (65536.0 * 3 + 7) / 64;  // wraps to its low word
    ups->userParamsWrite.rmsLevel[0] = 1e200;
    BuildWriteSetup('U', ups);
    std::vector<int> w = Words();
    EXPECT_EQ(w[1], 0);
    EXPECT_EQ(w[7], 7);
    EXPECT_EQ(w[36], 0);
    BuildWriteUserParams('R', ups);
    EXPECT_EQ(Frames(ups).back().size(), 54u);
}

TEST_F(BuildTest, UserParametersSendRawRmsLevels) {
    ups->userParamsWrite.upsAddress = 5;
    ups->userParamsWrite.rmsLevel[0] = 230.0;
    ups->userParamsWrite.auxValue2 = 7.9;
    ups->userParamsWrite.restartDelay = 30;
    BuildWriteUserParams('R', ups);
    std::string f = Frames(ups).back();
    EXPECT_EQ(f.substr(2, 8), "000550B8");
    std::vector<int> w = Words();
    EXPECT_EQ(w[7], 7);
    EXPECT_EQ(w[11], 30);
    EXPECT_EQ(RawFromRms(230.0), 20664);
    // A level read from the unit goes back as the very word it came from.
    int drifted = 0;
    for (int raw = 0; raw <= 0xFFFF; ++raw) drifted += RawFromRms(RmsFromRaw(raw)) != raw;
    EXPECT_EQ(drifted, 0);
}

TEST_F(BuildTest, TextItemsGoByteByByteWithTheirNuls) {
    std::snprintf(ups->productCodeWrite, sizeof ups->productCodeWrite, "AB");
    std::snprintf(ups->serialNumberWrite, sizeof ups->serialNumberWrite, "12345678");
    BuildWriteIdentity('k', ups);
    EXPECT_EQ(Frames(ups).back().substr(2, 32), "41420000000000003132333435363738");
    ups->protocolAddsWrite.batteryAh = 7;
    ups->protocolAddsWrite.backupTime = 12;
    std::snprintf(ups->protocolAddsWrite.buildDate, 9, "20240105");
    std::snprintf(ups->protocolAddsWrite.modelName, 21, "V");
    BuildWriteProtocolAdds1('P', ups);
    std::string f = Frames(ups).back();
    EXPECT_EQ(f.substr(2, 8), "0007000C");
    EXPECT_EQ(f.substr(10, 16), Hex("20240105"));
    EXPECT_EQ(f.substr(26, 4), "5600");
}

TEST_F(BuildTest, DebugValuesAreAppendedToTheTraceFile) {
    for (int i = 0; i < 12; ++i) ups->debugWrite[i] = i + 1;
    BuildWriteDebug('D', ups);
    ups->debugWrite[0] = -5;
    BuildWriteDebug('D', ups);
    std::ifstream in("valori.txt");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "1 2 3 4 5 6 7 8 9 10 11 12\n-5 2 3 4 5 6 7 8 9 10 11 12\n");
    EXPECT_EQ(Words()[0], 0xFFFB);
}

TEST_F(BuildTest, DebugFrameIsSentWhenTheTraceFileCannotBeOpened) {
    std::filesystem::create_directory("valori.txt");  // a directory cannot be appended to
    BuildWriteDebug('D', ups);
    EXPECT_EQ(Frames(ups).back().size(), 54u);
}

TEST_F(BuildTest, DecimalStopSendsTheTextAndZerosOnly) {
    ups->debugWrite[0] = 0x7FFF;
    BuildWriteSetup('U', ups);  // leaves hex text in the transmit buffer
    ups->debugWrite[0] = 42;
    BuildDecimalStop('G', ups);
    EXPECT_EQ(Frames(ups).back(), std::string("\x80G42\0\0\0\0\0\0", 10));
    ups->debugWrite[0] = -2147483647 - 1;
    BuildDecimalStop('G', ups);
    EXPECT_EQ(Frames(ups).back(), std::string("\x80G-2147483", 10));
}

}  // namespace

namespace {

TEST_F(BuildTest, TraceLinesNameTheCommandCharacter) {
    testing::internal::CaptureStdout();
    BuildWritePi('P', ups);
    BuildWriteDebug('D', ups);
    BuildWordCommand('S', ups);
    BuildTestBattery('b', ups);
    BuildStopAndGo('W', ups);
    BuildDecimalStop('G', ups);
    BuildWriteSetup('U', ups);
    BuildWriteAdAmplitudes('#', ups);  // the silent ones print nothing
    BuildWriteIdentity('k', ups);
    ups->comPort = 3;
    for (int i = 0; i < 12; ++i) {
        ups->payload[2 * i] = 0;
        ups->payload[2 * i + 1] = static_cast<uint8_t>(i * 11);
    }
    ups->payload[40] = 0xFF;
    ups->payload[41] = 0xFE;
    DecodeDebug(ups);
    DecodeTuning(ups);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "set Pi P \nset Pwm D \nstop S \ntestbattery b \nStop & Go Ups W \nstop G \n"
              "Set Ups U \n"
              "Seriale 3\n"
              "Parametri impostati 000 011 022 033 044 055 066 077 088 099 110 121 \n"
              "K0 -2 K1 0 PwmP 0 \n");
}

}  // namespace
