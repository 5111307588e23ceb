// KeybCommand's effect on the queues, window registration, and the link loop's start-up,
// reload, port failure and shutdown.
#include <atomic>
#include <chrono>
#include <memory>
#include <cstring>
#include <thread>

#include "link/device_lock.h"

#include "link_fakes.h"

namespace {

using KeybTest = LinkTest;
using LoopTest = LinkTest;

std::vector<int> Drain(_ZozeUps* ups) {
    std::vector<int> codes;
    for (int c; (c = NextCommand(ups)) != -1;) codes.push_back(c);
    return codes;
}

TEST_F(KeybTest, EveryTypeQueuesItsCommands) {
    struct Case {
        int type;
        std::vector<int> codes;
    } cases[] = {
        {KEYB_WRITE_DEBUG, {CMD_WRITE_DEBUG}},
        {KEYB_WRITE_AD, {CMD_WRITE_AD_AMPLITUDES, CMD_WRITE_AD_OFFSETS, CMD_READ_AD_AMPLITUDES,
                         CMD_READ_AD_OFFSETS}},
        {KEYB_WRITE_USER_PARAMS, {CMD_WRITE_USER_PARAMS, CMD_READ_USER_PARAMS}},
        {KEYB_WRITE_IDENTITY, {CMD_WRITE_IDENTITY, CMD_READ_IDENTITY}},
        {KEYB_WRITE_SETUP, {CMD_WRITE_SETUP}},
        {KEYB_STOP_SAVE, {CMD_STOP_SAVE}},
        {KEYB_STOP_DECIMAL, {CMD_STOP_DECIMAL}},
        {KEYB_RESET_EEPROM, {CMD_RESET_EEPROM}},
        {KEYB_WRITE_PROTOCOL_ADDS, {CMD_WRITE_PROTOCOL_ADDS_1, CMD_WRITE_PROTOCOL_ADDS_2,
                                    CMD_READ_PROTOCOL_ADDS}},
        {KEYB_TEST_BATTERY, {CMD_TEST_BATTERY}},
        {KEYB_RECHARGE, {CMD_RECHARGE}},
        {4, {}},
        {0, {}},
        {-1, {}},
        {99, {}},
    };
    for (const Case& c : cases) {
        for (int device : {0, 3}) {
            MainUps[device].adReadFlags = 3;
            MainUps[device].setupValid = 1;
            EXPECT_EQ(KeybCommand(c.type, device, 300, 0), 1);
            EXPECT_EQ(Drain(&MainUps[device]), c.codes) << "type " << c.type;
            if (c.type == KEYB_WRITE_AD) {
                EXPECT_EQ(MainUps[device].adReadFlags, 0);
            }
            if (c.type == KEYB_WRITE_SETUP) {
                EXPECT_EQ(MainUps[device].setupValid, 0);
            }
        }
        EXPECT_EQ(NextCommand(&MainUps[1]), -1);
    }
    EXPECT_EQ(MainUps[0].batteryTestParam, 300);
    EXPECT_EQ(MainUps[3].batteryTestParam, 300);
    EXPECT_EQ(MainUps[1].batteryTestParam, 0);
}

// The window queues work and copies the record while the link thread polls: nothing queued is
// lost and every copy is whole (the thread-sanitizer build checks the locking itself).
TEST_F(KeybTest, CommandsQueuedWhileTheLinkPollsAreAllSent) {
    _ZozeUps* ups = ReadyDevice(0);
    constexpr int kCommands = 40;
    std::atomic<bool> done{false};
    testing::internal::CaptureStdout();
    std::thread window([&] {
        for (int i = 0; i < kCommands; ++i) {
            {
                auto lock = LockDevice(0);
                ups->debugWrite[0] = i;
                KeybCommand(KEYB_STOP_SAVE, 0, 0, 0);
            }
            _ZozeUps copy = SnapshotDevice(0);
            EXPECT_LT(strnlen(copy.stateText, sizeof copy.stateText), sizeof copy.stateText);
            std::this_thread::yield();
        }
        done = true;
    });
    auto stopFrames = [&] {
        int n = 0;
        for (const std::string& f : Frames(ups)) n += f.size() > 1 && f[1] == 'S';
        return n;
    };
    while (!done) PollStep(ups);
    window.join();
    for (int round = 0; round < 100 && stopFrames() < kCommands; ++round)
        for (int step = 0; step < 100; ++step) PollStep(ups);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(stopFrames(), kCommands);
}

TEST_F(KeybTest, DeviceOutsideTheTableIsIgnored) {
    _ZozeUps before[4];
    std::memcpy(before, MainUps, sizeof before);
    EXPECT_EQ(KeybCommand(KEYB_TEST_BATTERY, 4, 300, 0), 1);
    EXPECT_EQ(KeybCommand(KEYB_WRITE_AD, -1, 0, 0), 1);
    EXPECT_EQ(std::memcmp(before, MainUps, sizeof before), 0);
}

TEST_F(KeybTest, SaveHostWritesHostAndRereadsTheSettings) {
    store["Com0"] = "6";
    std::snprintf(MainUps[0].hostname, sizeof MainUps[0].hostname, "ups.example");
    MainUps[0].portNumber = 5025;
    EXPECT_EQ(KeybCommand(KEYB_SAVE_HOST, 9, 0, 0), 1);
    EXPECT_EQ(store["hostname"], "ups.example");
    EXPECT_EQ(store["portnumber"], "5025");
    EXPECT_EQ(MainUps[0].comPort, 6);
    EXPECT_EQ(store["AlderaPresent3"], "0");
    // An unterminated host name is cut at its field.
    std::memset(MainUps[0].hostname, 'h', sizeof MainUps[0].hostname);
    KeybCommand(KEYB_SAVE_HOST, 0, 0, 0);
    EXPECT_EQ(store["hostname"], std::string(sizeof MainUps[0].hostname - 1, 'h'));
}

TEST_F(KeybTest, WindowRegistrationReplacesTheEarlierOne) {
    int other = 0;
    EXPECT_EQ(SendHwnd(&other), 0);
    EXPECT_EQ(RegisteredWindow(), &other);
    PostToRegisteredWindow(WM_UPS_EVENT, 2, 7);
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].window, &other);
    EXPECT_EQ(posts[0].lParam, 7);
    SendHwnd(nullptr);
    PostToRegisteredWindow(WM_UPS_REFRESH, 0, 0);
    EXPECT_EQ(posts.size(), 1u);
}

// A module that unregisters its receiver from another thread and then frees it must never be
// posted to afterwards: once SendHwnd(nullptr) returns, no post to the old window is under way.
struct Receiver {
    std::atomic<bool> released{false};
};
std::atomic<int> postsAfterRelease{0};

void SlowPost(void* window, int, uintptr_t, intptr_t) {
    auto* r = static_cast<Receiver*>(window);
    std::this_thread::sleep_for(std::chrono::microseconds(200));  // widen the gap a race needs
    if (r->released.load()) ++postsAfterRelease;
}

TEST_F(KeybTest, UnregisteringWaitsForAPostUnderWay) {
    SetLinkPoster(SlowPost);
    postsAfterRelease = 0;
    std::atomic<bool> stop{false};
    std::thread link([&] {
        while (!stop.load()) PostToRegisteredWindow(WM_UPS_REFRESH, 0, 0);
    });
    std::vector<std::unique_ptr<Receiver>> receivers;  // kept alive: the test counts, never crashes
    for (int i = 0; i < 200; ++i) {
        receivers.push_back(std::make_unique<Receiver>());
        SendHwnd(receivers.back().get());
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        SendHwnd(nullptr);
        receivers.back()->released = true;
    }
    stop = true;
    link.join();
    EXPECT_EQ(postsAfterRelease.load(), 0);
}

TEST_F(LoopTest, StartupOpensPresentUnitsOnly) {
    store = {{"AlderaPresent2", "1"}, {"Com2", "9"}, {"speed0", "19200"}};
    InitDeviceTable();
    MainUps[0].status.batteryVoltage = 5;  // cleared by the start-up
    LinkStartup();
    EXPECT_EQ(OpensOf(1).count, 1);
    EXPECT_EQ(OpensOf(2).count, 0);
    EXPECT_EQ(OpensOf(9).count, 1);
    EXPECT_FALSE(deviceLockedDuringOpen);
    EXPECT_NE(MainUps[2].portHandle, nullptr);
    EXPECT_EQ(MainUps[1].portHandle, nullptr);
    EXPECT_EQ(MainUps[2].comPort, 9);
    EXPECT_EQ(MainUps[2].baudRate, 19200);
    EXPECT_EQ(MainUps[0].pollPhase, 10);
    EXPECT_EQ(MainUps[1].pollPhase, 0);
    EXPECT_EQ(MainUps[0].status.batteryVoltage, 0.0);
    for (const _ZozeUps& ups : MainUps) {
        EXPECT_STREQ(ups.stateText, "Timeout");
        EXPECT_STREQ(ups.stateDetail, "");
        EXPECT_EQ(ups.port, &kFakePort);
    }
    EXPECT_TRUE(exits.empty());
    EXPECT_EQ(LinkPass(), 2);
}

TEST_F(LoopTest, ReloadSavesAndReopensBetweenPasses) {
    LinkStartup();
    _ZozeUps* ups = &MainUps[0];
    Line(ups).autoReply = true;
    EXPECT_EQ(LinkPass(), 1);
    ups->comPort = 4;  // as the port chooser leaves it
    EXPECT_EQ(KeybCommand(KEYB_RELOAD_PORTS, 3, 0, 0), 1);
    EXPECT_EQ(LinkPass(), 1);
    EXPECT_EQ(store["Com0"], "4");
    EXPECT_EQ(Line(ups).closes, 1);
    EXPECT_EQ(OpensOf(1).count, 1);
    EXPECT_EQ(OpensOf(4).count, 1);
    EXPECT_EQ(TakeReloadRequest(), 0);
    EXPECT_EQ(LinkPass(), 1);
    EXPECT_EQ(OpensOf(4).count, 1);
    EXPECT_FALSE(deviceLockedDuringOpen);
    EXPECT_EQ(SentChars(ups), "3d");  // the reopen kept the poll where it was
}

TEST_F(LoopTest, PortThatCannotBeOpenedEndsTheLink) {
    store = {{"AlderaPresent1", "1"}, {"Com1", "12"}};
    OpensOf(12).result = -1;
    LinkStartup();
    EXPECT_EQ(MainUps[1].portHandle, nullptr);
    ASSERT_EQ(exits, std::vector<int>{-1});
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].message, WM_UPS_EVENT);
    EXPECT_EQ(posts[0].wParam, 2u);
    EXPECT_EQ(posts[0].lParam, 12);
}

TEST_F(LoopTest, ShutdownPurgesAndClosesOpenPorts) {
    store = {{"AlderaPresent3", "1"}};
    LinkStartup();
    LinkShutdown();
    for (int d : {0, 3}) {
        EXPECT_EQ(Line(&MainUps[d]).closes, 1) << d;
        EXPECT_EQ(Line(&MainUps[d]).purges.back(), PORT_PURGE_RX | PORT_PURGE_TX);
        EXPECT_EQ(MainUps[d].portHandle, nullptr);
    }
    EXPECT_EQ(Line(&MainUps[1]).closes, 0);
    LinkShutdown();  // nothing left open
    EXPECT_EQ(Line(&MainUps[0]).closes, 1);
}

TEST_F(LoopTest, StopFlagAndPortlessRecords) {
    EXPECT_EQ(LinkStopRequested(), 0);
    SetLinkStopRequested(1);
    EXPECT_EQ(LinkStopRequested(), 1);
    SetLinkStopRequested(0);
    // Without a driver nothing opens, and the record still polls without touching memory.
    SetDefaultPortOps(nullptr);
    InitDeviceTable();
    _ZozeUps* ups = &MainUps[0];
    ups->present = 1;
    OpenDevicePort(ups);
    EXPECT_EQ(exits, std::vector<int>{-1});
    testing::internal::CaptureStdout();
    for (int i = 0; i < 20; ++i) PollStep(ups);
    testing::internal::GetCapturedStdout();
    EXPECT_STREQ(ups->stateText, "Timeout");
}

}  // namespace
