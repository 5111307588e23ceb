// The real link thread and QSerialPort against vespero-sim. Everything is judged by the frames
// the simulated unit logged and by the values that reached the device table; nothing by time.
#include <QSettings>

#include <fcntl.h>
#include <stdlib.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "e2e_support.h"
#include "link/link_core.h"
#include "link/port/port_errors.h"
#include "link/port/serial_port.h"

namespace e2e {
namespace {

// Command characters of the logged frames, split into poll cycles (each opens with a status read).
std::vector<std::string> Cycles(const std::vector<Frame>& frames) {
    std::vector<std::string> cycles;
    for (const Frame& f : frames) {
        if (f.size() < 2) continue;
        if (f == Query('3') || cycles.empty()) cycles.emplace_back();
        cycles.back().push_back(char(f[1]));
    }
    return cycles;
}

size_t CountFrame(const std::vector<Frame>& frames, const Frame& wanted) {
    size_t n = 0;
    for (const Frame& f : frames) n += f == wanted;
    return n;
}

bool LogHas(const QString& log, const Frame& wanted) {
    return CountFrame(ReadFrames(log), wanted) > 0;
}

class LinkE2E : public LinkTest {};

// The log as written, for failure messages.
std::string RawLog(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return "(no log)";
    return f.readAll().right(4000).toStdString();
}

// Seen on the link thread at the moment each refresh is posted: how many requests the unit had
// received by then.
std::mutex observedMutex;
std::vector<size_t> framesAtRefresh;
QString observedLog;

void RecordRefresh(int message, uintptr_t, intptr_t) {
    if (message != WM_UPS_REFRESH) return;
    std::lock_guard<std::mutex> lock(observedMutex);
    framesAtRefresh.push_back(ReadFrames(observedLog).size());
}

TEST_F(LinkE2E, FirstCycleRefreshesBeforeSendingThenReadsStatusAndDebug) {
    WriteSettings({{"Com0", "4"}});
    StartSim(4);
    {
        std::lock_guard<std::mutex> lock(observedMutex);
        framesAtRefresh.clear();
        observedLog = LogOf(4);
    }
    SetUpsPostObserver(&RecordRefresh);
    StartLink();
    ASSERT_TRUE(WaitForRefreshes(3));
    StopLink();

    std::vector<size_t> seen;
    {
        std::lock_guard<std::mutex> lock(observedMutex);
        seen = framesAtRefresh;
    }
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen[0], 0u) << "the first refresh is posted before anything is sent";
    EXPECT_EQ(seen[1], 2u) << "the first cycle is exactly status and debug";
    EXPECT_EQ(seen[2], 6u) << "the second cycle adds version and protocol data";

    const auto frames = ReadFrames(LogOf(4));
    ASSERT_GE(frames.size(), 6u);
    EXPECT_EQ(frames[0], Query('3'));
    EXPECT_EQ(frames[1], Query('d'));
    EXPECT_EQ(frames[2], Query('3'));
    EXPECT_EQ(frames[3], Query('d'));
    EXPECT_EQ(frames[4], Query('V'));
    EXPECT_EQ(frames[5], Query('4'));
}

TEST_F(LinkE2E, RotationSpansTenCyclesAndEveryReplyIsDecoded) {
    WriteSettings({{"Com0", "1"}});
    StartSim(1);
    StartLink();
    ASSERT_TRUE(WaitUntil([&] { return Cycles(ReadFrames(LogOf(1))).size() >= 13; }));
    ASSERT_TRUE(WaitForRefreshes(13));
    const _ZozeUps u = SnapshotDevice(0);
    StopLink();

    const std::vector<std::string> expected = {"3d",  "3dV4", "3d&%", "3dp", "3dB", "3d1",
                                               "3d5", "3dC",  "3dQ",  "3d6", "3d",  "3dV4"};
    const auto cycles = Cycles(ReadFrames(LogOf(1)));
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(cycles[i], expected[i]) << "cycle " << i + 1;

    // The simulated unit's own encoder against the link's decoders.
    EXPECT_STREQ(u.stateText, "On_Line");
    EXPECT_STREQ(u.stateDetail, "Charging");
    EXPECT_EQ(u.status.stateCode, 2);
    EXPECT_EQ(u.status.powerUnits, 1u);
    EXPECT_EQ(u.status.currentUnits, 4u);
    EXPECT_GE(u.status.batteryVoltage, 54.0);
    EXPECT_LT(u.status.batteryVoltage, 55.0);
    EXPECT_DOUBLE_EQ(u.status.outputFrequency, 50.0);
    EXPECT_NEAR(u.status.outputVoltage, 230.0, 0.5);
    EXPECT_STREQ(u.firmwareVersion, "1.04");
    EXPECT_EQ(u.adReadFlags, 3);
    EXPECT_EQ(u.adAmplitudeRead[15], 1015);
    EXPECT_EQ(u.adOffsetRead[0], -8);
    EXPECT_EQ(u.userParamsRead.upsAddress, 1u);
    EXPECT_NEAR(u.userParamsRead.rmsLevel[0], 230.0, 0.1);
    EXPECT_NEAR(u.batteryFailure.inputVoltage, 180.0, 0.1);
    EXPECT_EQ(u.batteryFailure.standbyReason, 8);
    EXPECT_EQ(u.systemFailure.standbyReason, 13);
    EXPECT_EQ(u.failureCounters[0], 13);
    EXPECT_DOUBLE_EQ(u.historyMaxTemperature, 50.0);
    EXPECT_EQ(u.historyDurationA[0], 3600u * 24 * 400);
    EXPECT_EQ(u.historyDurationB[1], 70000u);
    EXPECT_EQ(u.historyCount[0], 42);
    EXPECT_STREQ(u.productCodeRead, "VSP1000A");
    EXPECT_STREQ(u.serialNumberRead, "SN004711");
    EXPECT_EQ(u.setupValid, 1);
    EXPECT_EQ(u.setupRead.inputMode, 11);
    EXPECT_DOUBLE_EQ(u.setupRead.slope, 12.5);
    EXPECT_STREQ(u.protocolAddsRead.modelName, "Vespero 5000");
    EXPECT_STREQ(u.protocolAddsRead.buildDate, "20240115");
    EXPECT_EQ(u.protocolAddsRead.batteryAh, 40);
    EXPECT_GE(u.auxWordB[2], 540);
    EXPECT_LE(u.auxWordB[2], 544);
    EXPECT_EQ(u.debugRead[11], 12);
}

TEST_F(LinkE2E, WaitingBatteryTestResultIsReadAndATestRequestRaisesItAgain) {
    WriteSettings({{"Com0", "2"}});
    StartSim(2, {QStringLiteral("--battery-test")});
    StartLink();
    ASSERT_TRUE(WaitUntil([&] { return Cycles(ReadFrames(LogOf(2))).size() >= 5; }));

    auto cycles = Cycles(ReadFrames(LogOf(2)));
    EXPECT_EQ(cycles[0], "3d");
    EXPECT_EQ(cycles[1], "3d7V4") << "the flagged result is read after the service values";
    // The status of cycle 2 was read before the result, so it still carried the flag.
    EXPECT_EQ(cycles[2], "3d7&%");
    EXPECT_EQ(cycles[3], "3dp") << "once the result is read, the unit clears the flag";

    KeybCommand(KEYB_TEST_BATTERY, 0, 0x1234, 0);
    const Frame test = {0x80, 'b', '1', '2', '3', '4', '0', '1', 'A', 'C'};
    ASSERT_TRUE(WaitUntil([&] { return LogHas(LogOf(2), test); }));
    // The unit now flags a result again: a later cycle reads it, carrying the parameter back.
    ASSERT_TRUE(WaitUntil([&] { return SnapshotDevice(0).batteryTestValue[3] == 0x1234; }));
    const _ZozeUps u = SnapshotDevice(0);
    StopLink();
    EXPECT_EQ(u.batteryTestParam, 0x1234);
    EXPECT_EQ(u.batteryTestStatus, 1);
    EXPECT_EQ(u.batteryTestTime[0], 90000u);
    EXPECT_EQ(u.batteryTestTime[1], 600u);
}

TEST_F(LinkE2E, SilentUnitGetsEachCommandFourTimesShowsTimeoutAndKeepsValues) {
    WriteSettings({{"Com0", "3"}});
    StartSim(3, {QStringLiteral("--silent-after"), QStringLiteral("2")});
    StartLink();
    // Answered: status and debug of the first cycle. Then status four times, then debug.
    ASSERT_TRUE(WaitForFrames(LogOf(3), 7, 20000));
    ASSERT_TRUE(WaitUntil([] { return std::strcmp(SnapshotDevice(0).stateText, "Timeout") == 0; }));
    const _ZozeUps u = SnapshotDevice(0);
    StopLink();

    const auto frames = ReadFrames(LogOf(3));
    const std::vector<Frame> expected = {Query('3'), Query('d'), Query('3'), Query('3'),
                                         Query('3'), Query('3'), Query('d')};
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(frames[i], expected[i]) << "frame " << i;

    EXPECT_STREQ(u.stateText, "Timeout");
    EXPECT_EQ(u.status.stateCode, 2) << "values of the last good reply stay";
    EXPECT_GT(u.status.batteryVoltage, 50.0);
    EXPECT_EQ(u.debugRead[0], 1);
}

TEST_F(LinkE2E, OneBadChecksumIsNotResentAndItsValuesNeverReachTheRecord) {
    WriteSettings({{"Com0", "5"}});
    StartSim(5, {QStringLiteral("--corrupt-at"), QStringLiteral("1")});
    std::vector<int> statesSeen;
    receiver_.onRefresh = [&] { statesSeen.push_back(SnapshotDevice(0).status.stateCode); };
    StartLink();
    ASSERT_TRUE(WaitForFrames(LogOf(5), 8));
    ASSERT_TRUE(WaitUntil([] { return std::strcmp(SnapshotDevice(0).stateText, "On_Line") == 0; }));
    StopLink();
    receiver_.onRefresh = nullptr;

    const auto frames = ReadFrames(LogOf(5));
    EXPECT_EQ(frames[0], Query('3'));
    EXPECT_EQ(frames[1], Query('d')) << "one bad reply only counts; the next command follows";
    EXPECT_EQ(frames[2], Query('3'));
    EXPECT_EQ(frames[3], Query('d'));
    EXPECT_EQ(frames[4], Query('V'));
    for (int state : statesSeen) EXPECT_NE(state, 0x7FFF);
}

TEST_F(LinkE2E, PoisonedRepliesAtRandomNeverReachTheRecord) {
    WriteSettings({{"Com0", "6"}});
    StartSim(6, {QStringLiteral("--corrupt"), QStringLiteral("0.3"), QStringLiteral("--seed"),
                 QStringLiteral("7")});
    std::vector<_ZozeUps> seen;
    receiver_.onRefresh = [&] { seen.push_back(SnapshotDevice(0)); };
    StartLink();
    ASSERT_TRUE(WaitForRefreshes(25, 30000));
    StopLink();
    receiver_.onRefresh = nullptr;

    bool online = false;
    for (const _ZozeUps& u : seen) {
        EXPECT_NE(u.status.stateCode, 0x7FFF);
        EXPECT_NE(u.systemFailure.stateCode, 0x7FFF);
        EXPECT_NE(u.batteryFailure.stateCode, 0x7FFF);
        EXPECT_NE(u.debugRead[0], -1);
        online = online || std::strcmp(u.stateText, "On_Line") == 0;
    }
    EXPECT_TRUE(online);
}

TEST_F(LinkE2E, TwoUnitsAreServedAlternately) {
    WriteSettings({{"Com0", "1"}, {"AlderaPresent1", "1"}, {"Com1", "2"}});
    StartSim(1, {QStringLiteral("--tag"), QStringLiteral("A")}, QStringLiteral("both.log"));
    StartSim(2, {QStringLiteral("--tag"), QStringLiteral("B")}, QStringLiteral("both.log"));
    StartLink();
    ASSERT_TRUE(WaitForFrames(Path("both.log"), 40));
    ASSERT_TRUE(WaitUntil([] { return std::strcmp(SnapshotDevice(1).stateText, "On_Line") == 0; }));
    StopLink();

    // One step per unit per pass: the requests come in pairs, one of each unit (the two
    // simulated units log concurrently, so within a pair either may come first).
    const auto lines = ReadLog(Path("both.log"));
    int a = 0, b = 0;
    for (size_t i = 0; i < 40; ++i) {
        (lines[i].tag == "A" ? a : b) += 1;
        if (i % 2 == 1) {
            EXPECT_EQ(a, b) << "after request " << i + 1;
        }
    }
    EXPECT_STREQ(SnapshotDevice(0).stateText, "On_Line");
}

// A unit that answers faster than the window takes its events: refreshes are not piled up in
// the window's queue, one waits there at a time and carries the newest record.
TEST_F(LinkE2E, RefreshesDoNotPileUpWhileTheWindowIsBusy) {
    WriteSettings({{"Com0", "1"}});
    StartSim(1);
    std::atomic<int> posted{0};
    static std::atomic<int>* postedRefreshes;
    postedRefreshes = &posted;
    SetUpsPostObserver([](int message, uintptr_t, intptr_t) {
        if (message == WM_UPS_REFRESH) postedRefreshes->fetch_add(1);
    });
    auto cyclesBegun = [&](int n) {  // the window thread does not look at its queue meanwhile
        for (int i = 0; i < 5000 && posted.load() < n; ++i) QThread::msleep(2);
        return posted.load() >= n;
    };
    StartLink();
    ASSERT_TRUE(cyclesBegun(30));
    // A window registered while the first one's refresh still waits gets its own.
    Receiver second;
    SendHwnd(&second);
    ASSERT_TRUE(cyclesBegun(60));
    SendHwnd(nullptr);
    StopLinkThread();
    SetUpsPostObserver(nullptr);
    QCoreApplication::sendPostedEvents(&receiver_);
    QCoreApplication::sendPostedEvents(&second);
    EXPECT_EQ(receiver_.refreshes.load(), 1) << posted.load() << " cycles began";
    EXPECT_EQ(second.refreshes.load(), 1);
    StopLink();
}

TEST_F(LinkE2E, ReloadReopensThePortsAndFollowsAChangedComPort) {
    WriteSettings({{"Com0", "1"}});
    StartSim(1);
    StartSim(5);
    StartLink();
    ASSERT_TRUE(WaitForRefreshes(3));

    // Same port again: the unit keeps being served after the reopen.
    KeybCommand(KEYB_RELOAD_PORTS, 0, 0, 0);
    const int before = receiver_.refreshes.load();
    ASSERT_TRUE(WaitForRefreshes(before + 3));
    EXPECT_STREQ(SnapshotDevice(0).stateText, "On_Line");

    // As the port chooser does it: set the port, then ask for the reload.
    {
        auto lock = LockDevice(0);
        MainUps[0].comPort = 5;
        MainUps[0].comPortChosen = 5;
        KeybCommand(KEYB_RELOAD_PORTS, 0, 0, 0);
    }
    ASSERT_TRUE(WaitUntil([&] { return CountFrame(ReadFrames(LogOf(5)), Query('3')) >= 2; }));
    const size_t onOld = ReadFrames(LogOf(1)).size();
    ASSERT_TRUE(WaitUntil([&] { return CountFrame(ReadFrames(LogOf(5)), Query('3')) >= 4; }));
    StopLink();
    EXPECT_EQ(ReadFrames(LogOf(1)).size(), onOld) << "the old port is no longer used";

    QSettings saved(Path("Tralvane/Ups.ini"), QSettings::IniFormat);
    EXPECT_EQ(saved.value("Orbo/Com0").toString(), QStringLiteral("5"));
    EXPECT_EQ(saved.value("Orbo/AlderaPresent0").toString(), QStringLiteral("1"));
}

TEST_F(LinkE2E, EveryKeybCommandReachesTheWireWithItsExactFrame) {
    WriteSettings({{"Com0", "7"}});
    StartSim(7);
    StartLink();
    ASSERT_TRUE(WaitForRefreshes(2));
    const QString log = LogOf(7);

    auto expectFrames = [&](const std::vector<Frame>& frames, const char* what) {
        for (const Frame& f : frames)
            EXPECT_TRUE(WaitUntil([&] { return LogHas(log, f); })) << what << ": " << Hex(f);
    };

    // Stop & save with argument 0: the documented frame, byte for byte.
    {
        auto lock = LockDevice(0);
        MainUps[0].debugWrite[0] = 0;
        KeybCommand(KEYB_STOP_SAVE, 0, 0, 0);
    }
    expectFrames({{0x80, 0x53, 0x30, 0x30, 0x30, 0x30, 0x30, 0x31, 0x39, 0x33}}, "stop & save");

    {
        auto lock = LockDevice(0);
        MainUps[0].debugWrite[0] = 300;
        KeybCommand(KEYB_RESET_EEPROM, 0, 0, 0);
    }
    expectFrames({SetFrame('r', Words({300}))}, "reset EEPROM");

    // The decimal stop carries the number as text and a NUL, no checksum, ten bytes in all.
    {
        auto lock = LockDevice(0);
        KeybCommand(KEYB_STOP_DECIMAL, 0, 0, 0);
    }
    ASSERT_TRUE(WaitUntil([&] {
        for (const Frame& f : ReadFrames(log))
            if (f.size() == 10 && f[1] == 'G') return true;
        return false;
    }));
    for (const Frame& f : ReadFrames(log)) {
        if (f.size() == 10 && f[1] == 'G') {
            EXPECT_EQ(Frame(f.begin(), f.begin() + 6), (Frame{0x80, 'G', '3', '0', '0', 0}));
        }
    }

    const std::vector<int> debug = {-2, 300, 0, 1, 2, 3, 4, 5, 6, 7, 8, 32767};
    {
        auto lock = LockDevice(0);
        for (int i = 0; i < 12; ++i) MainUps[0].debugWrite[i] = debug[size_t(i)];
        KeybCommand(KEYB_WRITE_DEBUG, 0, 0, 0);
    }
    expectFrames({SetFrame('D', Words(debug))}, "debug values");
    EXPECT_TRUE(WaitUntil([] { return SnapshotDevice(0).debugRead[0] == -2; })) << "read back";

    std::vector<int> amplitudes, offsets;
    {
        auto lock = LockDevice(0);
        for (int i = 0; i < 16; ++i) {
            MainUps[0].adAmplitudeWrite[i] = 2000 + i;
            MainUps[0].adOffsetWrite[i] = -i;
            amplitudes.push_back(2000 + i);
            offsets.push_back(-i);
        }
        KeybCommand(KEYB_WRITE_AD, 0, 0, 0);
    }
    expectFrames({SetFrame('#', Words(amplitudes)), SetFrame('O', Words(offsets)), Query('&'), Query('%')},
                 "AD correction");
    EXPECT_TRUE(WaitUntil([] {
        const _ZozeUps u = SnapshotDevice(0);
        return u.adReadFlags == 3 && u.adAmplitudeRead[15] == 2015 && u.adOffsetRead[15] == -15;
    }));

    {
        auto lock = LockDevice(0);
        UserParameters& p = MainUps[0].userParamsWrite;
        p.upsAddress = 2;
        for (double& r : p.rmsLevel) r = 230.0;
        p.auxValue1 = 5;
        p.auxValue2 = 12.9;
        p.powerOnRestart = 1;
        p.sleepDelay = 300;
        p.option = 0;
        p.restartDelay = 10;
        KeybCommand(KEYB_WRITE_USER_PARAMS, 0, 0, 0);
    }
    expectFrames({SetFrame('R', Words({2, 0x50B8, 0x50B8, 0x50B8, 0x50B8, 0x50B8, 5, 12, 1, 300, 0, 10})),
                  Query('p')},
                 "user parameters");

    {
        auto lock = LockDevice(0);
        std::memcpy(MainUps[0].productCodeWrite, "ABCDEFGH", 9);
        std::memcpy(MainUps[0].serialNumberWrite, "1234567", 8);  // 7 characters and a NUL
        KeybCommand(KEYB_WRITE_IDENTITY, 0, 0, 0);
    }
    {
        std::vector<uint8_t> text = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', '1', '2', '3', '4', '5', '6', '7', 0};
        expectFrames({SetFrame('k', text), Query('C')}, "identity");
    }
    EXPECT_TRUE(WaitUntil([] { return std::strcmp(SnapshotDevice(0).productCodeRead, "ABCDEFGH") == 0; }));

    {
        auto lock = LockDevice(0);
        ProtocolAdds& a = MainUps[0].protocolAddsWrite;
        std::memset(&a, 0, sizeof a);
        a.batteryAh = 65;
        a.backupTime = 20;
        std::strcpy(a.buildDate, "20250101");
        std::strcpy(a.modelName, "Model X");
        std::strcpy(a.manufacturer, "Maker");
        std::strcpy(a.serviceContact, "Desk");
        std::strcpy(a.servicePhone, "555");
        KeybCommand(KEYB_WRITE_PROTOCOL_ADDS, 0, 0, 0);
    }
    {
        std::vector<uint8_t> first = Words({65, 20});
        const char date[8] = {'2', '0', '2', '5', '0', '1', '0', '1'};
        first.insert(first.end(), date, date + 8);
        std::vector<uint8_t> model(20, 0);
        std::memcpy(model.data(), "Model X", 7);
        first.insert(first.end(), model.begin(), model.end());
        std::vector<uint8_t> second(60, 0);
        std::memcpy(second.data(), "Maker", 5);
        std::memcpy(second.data() + 20, "Desk", 4);
        std::memcpy(second.data() + 40, "555", 3);
        expectFrames({SetFrame('P', first), SetFrame('T', second), Query('4')}, "protocol data");
    }
    EXPECT_TRUE(WaitUntil([] { return std::strcmp(SnapshotDevice(0).protocolAddsRead.modelName, "Model X") == 0; }));

    KeybCommand(KEYB_RECHARGE, 0, 0, 0);
    expectFrames({Query('M')}, "recharge");
    KeybCommand(KEYB_TEST_BATTERY, 0, 300, 0);
    expectFrames({SetFrame('b', Words({300}))}, "battery test");

    StopLink();
}

TEST_F(LinkE2E, SetupWriteGoesOutScaledAndIsReadBackLater) {
    WriteSettings({{"Com0", "8"}});
    StartSim(8);
    StartLink();
    // Wait for the unit's own set-up (rotation phase 7), then send it back with changes.
    ASSERT_TRUE(WaitUntil([] { return SnapshotDevice(0).setupValid == 1; }));
    UpsSetup written{};
    {
        auto lock = LockDevice(0);
        UpsSetup s = MainUps[0].setupRead;
        s.ampereh = 12;
        s.slope = 12.5;          // 12.5 / 6.25 + 0.5 = 2.5, sent as 2
        s.fStartPeriod = 0.02;   // 499.99999999999994, sent as 499
        s.fStopPeriod = 0.025;   // 625
        s.vCycle = 57.0;         // 3648
        MainUps[0].setupWrite = s;
        written = s;
        KeybCommand(KEYB_WRITE_SETUP, 0, 0, 0);
        EXPECT_EQ(MainUps[0].setupValid, 0);
    }
    Frame frame;
    ASSERT_TRUE(WaitUntil([&] {
        for (const Frame& f : ReadFrames(LogOf(8)))
            if (f.size() == 174 && f[1] == 'U') {
                frame = f;
                return true;
            }
        return false;
    })) << RawLog(LogOf(8));
    auto word = [&](int index) {
        auto nib = [](uint8_t c) { return c <= '9' ? c - '0' : c - 'A' + 10; };
        const size_t at = 2 + 4 * size_t(index);
        return (nib(frame[at]) << 12) | (nib(frame[at + 1]) << 8) | (nib(frame[at + 2]) << 4) | nib(frame[at + 3]);
    };
    EXPECT_EQ(word(0), 12);
    EXPECT_EQ(word(1), 3648);
    EXPECT_EQ(word(38), 2);
    EXPECT_EQ(word(39), 499);
    EXPECT_EQ(word(40), 625);

    // A set-up read already on the wire when the write was queued may still bring the old values;
    // a later one (a rotation on) returns what was written.
    ASSERT_TRUE(WaitUntil([] {
        const _ZozeUps now = SnapshotDevice(0);
        return now.setupValid == 1 && now.setupRead.ampereh == 12;
    }, 20000));
    const _ZozeUps u = SnapshotDevice(0);
    StopLink();
    EXPECT_EQ(u.setupRead.ampereh, 12);
    EXPECT_DOUBLE_EQ(u.setupRead.vCycle, 57.0);
    EXPECT_DOUBLE_EQ(u.setupRead.slope, 12.5);
    EXPECT_DOUBLE_EQ(u.setupRead.fStartPeriod, 499 * 0.00004);
}

TEST_F(LinkE2E, FirstStartWritesTheDefaultSettingsAndPollsCom1) {
    StartSim(1);
    ASSERT_FALSE(QFile::exists(Path("Tralvane/Ups.ini")));
    StartLink();
    ASSERT_TRUE(WaitForFrames(LogOf(1), 2));
    StopLink();

    QSettings saved(Path("Tralvane/Ups.ini"), QSettings::IniFormat);
    saved.beginGroup("Orbo");
    const std::map<QString, QString> expected = {
        {"AlderaPresent0", "1"}, {"Com0", "1"}, {"speed0", "9600"}, {"Debug0", "1"},
        {"AlderaPresent1", "0"}, {"Com1", "2"}, {"Debug1", "1"},
        {"AlderaPresent2", "0"}, {"Com2", "3"}, {"Debug2", "1"},
        {"AlderaPresent3", "0"}, {"Com3", "4"}, {"Debug3", "1"}};
    for (const auto& [name, value] : expected) EXPECT_EQ(saved.value(name).toString(), value) << name.toStdString();
}

TEST_F(LinkE2E, UnreadableSettingsFileFallsBackToDefaults) {
    QFile f(Path("Tralvane/Ups.ini"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    static const char garbage[] = "\x00\xff[Orbo\n=\n\x01\x02==[[\nCom0=\"\n";
    f.write(garbage, sizeof garbage - 1);
    f.close();
    StartSim(1);
    StartLink();
    EXPECT_TRUE(WaitForFrames(LogOf(1), 2)) << "device 0 falls back to COM1";
    StopLink();
}

std::mutex portEventsMutex;
std::vector<PortEvent> portEvents;
void RecordPortEvent(PortEvent event, int, const char*, const char*) {
    if (event == PortEvent::Unavailable) return;
    std::lock_guard<std::mutex> lock(portEventsMutex);
    portEvents.push_back(event);
}

// Descriptors of this process still open on a device node that has been removed.
int DeletedDeviceDescriptors() {
    int n = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& name : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        char target[512];
        const ssize_t len = readlink(QFile::encodeName(fds.filePath(name)).constData(), target, sizeof target - 1);
        if (len <= 0) continue;
        const std::string t(target, size_t(len));
        n += t.rfind("/dev/", 0) == 0 && t.find("(deleted)") != std::string::npos;
    }
    return n;
}

bool StateIs(const char* text) {
    return WaitUntil([text] { return std::strcmp(SnapshotDevice(0).stateText, text) == 0; });
}

TEST_F(LinkE2E, ReplugIsFollowedToTheNewDeviceAndTheOldNodeIsLetGo) {
    portEvents.clear();
    SetPortStatusReporter(&RecordPortEvent);
    WriteSettings({{"Com0", "2"}});
    StartSim(2, {}, QStringLiteral("first.log"));
    StartLink();
    ASSERT_TRUE(StateIs("On_Line"));

    // Yanked: the unit dies without tidying up, and its port-directory entry dangles. Into our own
    // folder: a pseudo-terminal's number is soon another test's.
    const pid_t first = sims_.back();
    sims_.pop_back();
    ::kill(first, SIGKILL);
    waitpid(first, nullptr, 0);
    QFile::remove(Path("Tralvane/ports/COM2"));
    ASSERT_TRUE(QFile::link(Path("unplugged"), Path("Tralvane/ports/COM2")));
    ASSERT_TRUE(StateIs("Timeout"));
    ASSERT_TRUE(WaitUntil([] { return DeletedDeviceDescriptors() == 0; })) << "the removed node is let go";

    // Plugged back in: a new device under the same name.
    StartSim(2, {}, QStringLiteral("second.log"));
    ASSERT_TRUE(WaitForFrames(Path("second.log"), 2));
    ASSERT_TRUE(StateIs("On_Line"));

    // Unplugged in an orderly way: the entry goes as well, and comes back with the next unit.
    Terminate(sims_.back());
    sims_.pop_back();
    ASSERT_TRUE(StateIs("Timeout"));
    StartSim(2, {}, QStringLiteral("third.log"));
    ASSERT_TRUE(WaitForFrames(Path("third.log"), 2));
    ASSERT_TRUE(StateIs("On_Line"));
    StopLink();
    SetPortStatusReporter(nullptr);

    std::lock_guard<std::mutex> lock(portEventsMutex);
    const std::vector<PortEvent> expected = {PortEvent::Lost, PortEvent::Reopened, PortEvent::Lost,
                                             PortEvent::Reopened};
    EXPECT_EQ(portEvents, expected);
}

std::vector<std::string> portReasons;
void RecordPortEventAndReason(PortEvent event, int, const char*, const char* reason) {
    std::lock_guard<std::mutex> lock(portEventsMutex);
    portEvents.push_back(event);
    portReasons.emplace_back(reason);
}
size_t CountPortEvents(PortEvent wanted, const char* reasonPart = "") {
    std::lock_guard<std::mutex> lock(portEventsMutex);
    size_t n = 0;
    for (size_t i = 0; i < portEvents.size(); ++i)
        n += portEvents[i] == wanted && portReasons[i].find(reasonPart) != std::string::npos;
    return n;
}
std::vector<PortEvent> PortEventsBut(PortEvent left) {
    std::lock_guard<std::mutex> lock(portEventsMutex);
    std::vector<PortEvent> out;
    for (PortEvent e : portEvents)
        if (e != left) out.push_back(e);
    return out;
}

// The number of /dev/pts/<n> in a path, or -1.
int PtyNumber(const QString& path) {
    if (!path.startsWith(QLatin1String("/dev/pts/"))) return -1;
    bool ok = false;
    const int n = path.mid(9).toInt(&ok);
    return ok ? n : -1;
}

// A pseudo-terminal of our own whose number is n, as another program would get one once n is
// free again: the master, its slave unlocked, or -1 when n did not come round.
int TakePtyNumber(int n) {
    std::vector<int> others;
    int found = -1;
    for (int i = 0; i < 512 && found < 0; ++i) {
        const int fd = posix_openpt(O_RDWR | O_NOCTTY);
        if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0) {
            if (fd >= 0) ::close(fd);
            break;
        }
        if (PtyNumber(QString::fromLocal8Bit(ptsname(fd))) == n) found = fd;
        else others.push_back(fd);
    }
    for (int fd : others) ::close(fd);
    return found;
}

// Bytes arriving on a master within limitMs (or until the first ones), delivering the link's
// events meanwhile.
size_t BytesArriving(int master, int limitMs, bool untilAny = false) {
    size_t got = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (std::chrono::steady_clock::now() < until && !(untilAny && got > 0)) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
            char buf[256];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0) got += size_t(n);
        }
    }
    return got;
}

// A unit on a pseudo-terminal dies and its number goes to somebody else's terminal at once,
// while the port-directory entry still names it. The link must keep off that terminal through
// several of its retries, and take the port up again once the entry is written anew.
TEST_F(LinkE2E, ALostPseudoTerminalIsNotReopenedUntilItsEntryIsWrittenAnew) {
    {
        std::lock_guard<std::mutex> lock(portEventsMutex);
        portEvents.clear();
        portReasons.clear();
    }
    SetPortStatusReporter(&RecordPortEventAndReason);
    WriteSettings({{"Com0", "3"}});
    StartSim(3, {}, QStringLiteral("owner.log"));
    StartLink();
    ASSERT_TRUE(StateIs("On_Line"));
    const QString entry = Path("Tralvane/ports/COM3");
    const QString device = QFile::symLinkTarget(entry);
    const int number = PtyNumber(device);
    ASSERT_GE(number, 0) << device.toStdString();

    // The owner dies without removing its entry.
    const pid_t owner = sims_.back();
    sims_.pop_back();
    ::kill(owner, SIGKILL);
    waitpid(owner, nullptr, 0);
    ASSERT_TRUE(WaitUntil([] { return CountPortEvents(PortEvent::Lost) == 1; }));
    const int stranger = TakePtyNumber(number);
    if (stranger < 0) GTEST_SKIP() << "pts/" << number << " went to another process first";
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closeStranger{stranger};
    termios raw{};
    const int slave = ::open(ptsname(stranger), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    ::close(slave);

    // Longer than the longest retry pause: the link tries several times, and is refused each time.
    const size_t refusedBefore = CountPortEvents(PortEvent::Unavailable, "published anew");
    EXPECT_EQ(BytesArriving(stranger, PORT_RETRY_MAX_MS + 2000), 0u) << "the stranger's terminal got poll frames";
    EXPECT_GE(CountPortEvents(PortEvent::Unavailable, "published anew") - refusedBefore, 3u);
    EXPECT_EQ(CountPortEvents(PortEvent::Reopened), 0u);
    EXPECT_EQ(std::strcmp(SnapshotDevice(0).stateText, "Timeout"), 0);

    // The same name published again (a bridge that came back on the same number) is taken up.
    ASSERT_TRUE(QFile::remove(entry));
    ASSERT_TRUE(QFile::link(device, entry));
    EXPECT_GT(BytesArriving(stranger, 3 * PORT_RETRY_MAX_MS, true), 0u);
    EXPECT_TRUE(WaitUntil([] { return CountPortEvents(PortEvent::Reopened) == 1; }));
    StopLink();
    SetPortStatusReporter(nullptr);
    EXPECT_EQ(PortEventsBut(PortEvent::Unavailable), (std::vector<PortEvent>{PortEvent::Lost, PortEvent::Reopened}));
}

// A unit that hangs (its port open, nothing answering) while its entry is pointed at another
// unit: the silence alone must lead the link to the new device, logged as a loss and a reopen.
TEST_F(LinkE2E, ASilentPortWhoseEntryNowNamesAnotherDeviceIsLeftForIt) {
    {
        std::lock_guard<std::mutex> lock(portEventsMutex);
        portEvents.clear();
        portReasons.clear();
    }
    SetPortStatusReporter(&RecordPortEventAndReason);
    WriteSettings({{"Com0", "8"}});
    StartSim(8, {}, QStringLiteral("a.log"));
    StartSim(9, {}, QStringLiteral("b.log"));
    StartLink();
    ASSERT_TRUE(StateIs("On_Line"));
    const pid_t a = sims_[0];
    ASSERT_EQ(::kill(a, SIGSTOP), 0);
    const QString b = QFile::symLinkTarget(Path("Tralvane/ports/COM9"));
    const QString entry = Path("Tralvane/ports/COM8");
    ASSERT_TRUE(QFile::remove(entry));
    ASSERT_TRUE(QFile::link(b, entry));

    const std::string named = "COM8 now names " + b.toStdString();
    EXPECT_TRUE(WaitUntil([&] { return CountPortEvents(PortEvent::Lost, named.c_str()) == 1; }, 30000));
    EXPECT_TRUE(WaitForFrames(Path("b.log"), 2));
    EXPECT_TRUE(StateIs("On_Line"));
    ::kill(a, SIGCONT);
    StopLink();
    SetPortStatusReporter(nullptr);
    EXPECT_EQ(PortEventsBut(PortEvent::Unavailable), (std::vector<PortEvent>{PortEvent::Lost, PortEvent::Reopened}));
}

TEST_F(LinkE2E, PortThatCannotBeOpenedEndsTheProcessWithStatus255) {
    QDir().mkpath(Path("Tralvane/ports"));
    ASSERT_TRUE(QFile::link(Path("missing-device"), Path("Tralvane/ports/COM7")));
    for (const char* com : {"7", "200"}) {
        WriteSettings({{"Com0", com}});
        const pid_t probe = Spawn(QStringLiteral(VESPERO_PROBE_PATH),
                                  {QStringLiteral("--refreshes"), QStringLiteral("1")}, Path("probe.err"));
        ASSERT_GT(probe, 0);
        const int status = WaitExit(probe, 10000);
        if (status == -1) Terminate(probe);
        EXPECT_EQ(status, 255) << "COM" << com;
        QFile errFile(Path("probe.err"));
        ASSERT_TRUE(errFile.open(QIODevice::ReadOnly));
        const QString err = QString::fromLocal8Bit(errFile.readAll());
        EXPECT_TRUE(err.contains("GetLastError")) << err.toStdString();
        EXPECT_TRUE(err.contains("No such file or directory")) << err.toStdString();
        EXPECT_TRUE(err.contains(QStringLiteral("COM%1").arg(com))) << "the message names the port";
    }
}

// A port another process holds is named as busy, with that process, read from its lock file;
// and the lock file the holder keeps can be read by others whatever its umask.
TEST_F(LinkE2E, APortHeldByAnotherProcessIsNamedAsInUseByIt) {
    StartSim(5, {}, QStringLiteral("busy.log"));
    WriteSettings({{"Com0", "5"}});
    const mode_t oldMask = umask(077);  // as the service runs
    const pid_t holder = Spawn(QStringLiteral(VESPERO_PROBE_PATH), {}, Path("holder.err"), Path("holder.out"));
    umask(oldMask);
    ASSERT_GT(holder, 0);
    ASSERT_TRUE(WaitForFrames(Path("busy.log"), 2));

    const QString device = QFile::symLinkTarget(Path("Tralvane/ports/COM5"));
    const QString lock = QStringLiteral("/var/lock/LCK..") + device.mid(5).replace('/', '_');
    QFile lockFile(lock);
    ASSERT_TRUE(lockFile.open(QIODevice::ReadOnly)) << lock.toStdString();
    EXPECT_EQ(lockFile.readLine().trimmed().toLongLong(), holder);
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(lock).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    const QString busy = QStringLiteral("COM5 (%1) is in use by process %2 (vespero-probe)").arg(device).arg(holder);
    QString reason;
    EXPECT_FALSE(TryComPort(5, 9600, &reason));
    EXPECT_EQ(reason, busy);
    // The window's start-up says the same and ends; the holder polls on, undisturbed.
    const pid_t second = Spawn(QStringLiteral(VESPERO_PROBE_PATH), {QStringLiteral("--refreshes"), QStringLiteral("1")},
                               Path("second.err"), Path("second.out"));
    EXPECT_EQ(WaitExit(second, 10000), 255);
    QFile secondErr(Path("second.err"));
    ASSERT_TRUE(secondErr.open(QIODevice::ReadOnly));
    EXPECT_TRUE(QString::fromLocal8Bit(secondErr.readAll()).contains(busy));
    const size_t frames = ReadFrames(Path("busy.log")).size();
    EXPECT_TRUE(WaitForFrames(Path("busy.log"), frames + 2));

    // Stopped, the holder takes its lock with it, and the port opens again.
    kill(holder, SIGTERM);
    EXPECT_EQ(WaitExit(holder, 10000), 0);
    EXPECT_FALSE(QFile::exists(lock));
    EXPECT_TRUE(TryComPort(5, 9600, &reason)) << reason.toStdString();
}

// A client that opens the simulator's port puts the line in exclusive mode; killed, it cannot
// take that back, and the simulator keeps the line open. The next client must still get in.
// Root passes exclusive mode by CAP_SYS_ADMIN, so the next client runs without it.
TEST_F(LinkE2E, TheSimulatorsPortOpensAgainAfterItsClientWasKilled) {
    StartSim(6, {}, QStringLiteral("killed.log"));
    WriteSettings({{"Com0", "6"}});
    const pid_t first = Spawn(QStringLiteral(VESPERO_PROBE_PATH), {}, Path("first.err"), Path("first.out"));
    ASSERT_GT(first, 0);
    ASSERT_TRUE(WaitForFrames(Path("killed.log"), 2));
    kill(first, SIGKILL);
    EXPECT_EQ(WaitExit(first, 10000), -2);

    const pid_t next = Spawn(QStringLiteral("/usr/bin/setpriv"),
                             {QStringLiteral("--bounding-set=-sys_admin"), QStringLiteral(VESPERO_PROBE_PATH),
                              QStringLiteral("--refreshes"), QStringLiteral("3")},
                             Path("next.err"), Path("next.out"));
    const int status = WaitExit(next, 20000);
    if (status == -1) Terminate(next);
    QFile err(Path("next.err")), out(Path("next.out"));
    err.open(QIODevice::ReadOnly);
    out.open(QIODevice::ReadOnly);
    const QByteArray said = err.readAll();
    EXPECT_EQ(status, 0) << said.toStdString();
    EXPECT_TRUE(out.readAll().contains("\"stateText\":\"On_Line\"")) << said.toStdString();

    // The killed client's lock file, should nobody have taken it over (the next one removes it).
    const QString device = QFile::symLinkTarget(Path("Tralvane/ports/COM6"));
    QFile lock(QStringLiteral("/var/lock/LCK..") + device.mid(5).replace('/', '_'));
    if (lock.open(QIODevice::ReadOnly) && lock.readLine().trimmed().toLongLong() == first) lock.remove();
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

// The simulated unit itself: whatever arrives on the line, it finds the next frame start.
class Simulator : public LinkTest {
protected:
    int Open(int com) {
        const QByteArray path = Path(QStringLiteral("Tralvane/ports/COM%1").arg(com)).toLocal8Bit();
        const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY);
        termios t{};
        if (fd >= 0 && tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
        return fd;
    }
    // Collects exactly n characters, or what came before the line stayed quiet for a while.
    static std::string Collect(int fd, size_t n) {
        std::string out;
        pollfd p{fd, POLLIN, 0};
        while (out.size() < n && poll(&p, 1, 2000) > 0) {
            char buf[256];
            const ssize_t got = ::read(fd, buf, std::min(sizeof buf, n - out.size()));
            if (got <= 0) break;
            out.append(buf, size_t(got));
        }
        return out;
    }
    static bool ChecksumOk(const std::string& reply) {
        unsigned sum = 0;
        if (reply.size() < 6) return false;
        for (size_t i = 0; i < reply.size() - 4; ++i)
            sum += unsigned(int(static_cast<signed char>(reply[i])));
        return std::stoul(reply.substr(reply.size() - 4), nullptr, 16) == (sum & 0xFFFF);
    }
};

TEST_F(Simulator, ResynchronisesOnFrameStartsAndIgnoresDamagedFrames) {
    StartSim(12);
    const int fd = Open(12);
    ASSERT_GE(fd, 0);
    auto send = [&](const std::string& bytes) { ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size())); };

    send(std::string("garbage\x01\xff\x80Z", 11));  // noise, then a start with no such command
    send("\x80\x80\x33");                           // a doubled start still begins one frame
    std::string status = Collect(fd, 110);
    ASSERT_EQ(status.size(), 110u);
    EXPECT_EQ(status.substr(0, 2), "\x80\x33");
    EXPECT_TRUE(ChecksumOk(status));

    send("\x80S00\x80V");  // a set frame cut short by the next start
    const std::string version = Collect(fd, 46);
    ASSERT_EQ(version.size(), 46u);
    EXPECT_EQ(version.substr(2, 8), "312E3034");
    EXPECT_TRUE(ChecksumOk(version));

    send("\x80S0000FFFF");  // wrong checksum: logged, not answered
    send("\x80M");          // the next frame is answered as usual
    EXPECT_EQ(Collect(fd, 2), "\x80M");
    ::close(fd);

    QFile log(LogOf(12));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    EXPECT_TRUE(text.contains("80 53 30 30 truncated"));
    EXPECT_TRUE(text.contains("80 53 30 30 30 30 46 46 46 46 bad-checksum"));
    const auto frames = ReadFrames(LogOf(12));
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], Query('3'));
    EXPECT_EQ(frames[1], Query('V'));
    EXPECT_EQ(frames[2], Query('M'));
}

}  // namespace
}  // namespace e2e
