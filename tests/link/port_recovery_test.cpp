// A port that fails at run time is closed and reopened by the loop, paced by its retry timer,
// and a service may start with a port that is not there yet.
#include <cstdio>
#include <cstring>
#include <thread>

#include "link/device_lock.h"

#include "link_fakes.h"

namespace {

int64_t fakeNow = 0;
int64_t FakeClock() { return fakeNow; }

class PortRecoveryTest : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        fakeNow = 100000;
        SetLinkClock(&FakeClock);
        testing::internal::CaptureStdout();  // the trace line of every empty read
    }
    void TearDown() override {
        testing::internal::GetCapturedStdout();
        SetLinkClock(nullptr);
        SetOpenFailurePolicy(OPEN_FAILURE_ENDS_PROCESS);
        LinkTest::TearDown();
    }
    // Passes the link at the given fake times (ms after now); returns the opens seen on COM1.
    int PassAt(int64_t advanceMs) {
        fakeNow += advanceMs;
        LinkPass();
        return OpensOf(1).count;
    }
    int Refreshes() const {
        int n = 0;
        for (const Posted& p : posts) n += p.message == WM_UPS_REFRESH;
        return n;
    }
};

TEST_F(PortRecoveryTest, LostPortIsClosedShownAsTimeoutAndReopenedWithBackoff) {
    LinkStartup();
    _ZozeUps* ups = &MainUps[0];
    Line(ups).autoReply = true;
    for (int i = 0; i < 8; ++i) LinkPass();
    ASSERT_STRNE(ups->stateText, "Timeout") << "a healthy unit was named";
    ASSERT_EQ(OpensOf(1).count, 1);

    // The next read finds the device gone.
    Line(ups).autoReply = false;
    Line(ups).script.push_back({"", UPS_PORT_LOST});
    LinkPass();  // sends
    LinkPass();  // reads: lost
    EXPECT_EQ(Line(ups).closes, 1);
    EXPECT_EQ(ups->portHandle, nullptr);
    EXPECT_STREQ(ups->stateText, "Timeout") << "shown at once, not after four empty reads";
    EXPECT_EQ(PortIsDown(0), 1);

    // Nothing at all happens on the line before the first second is over; refreshes go on.
    const size_t writes = Line(ups).writes.size();
    OpensOf(1).result = -1;
    const int refreshes = Refreshes();
    EXPECT_EQ(PassAt(999), 1);
    EXPECT_EQ(Line(ups).writes.size(), writes);
    // Tries at 1 s, then 2, 4, 5, 5 s apart: never sooner.
    const int64_t gaps[] = {1, 2000, 4000, 5000, 5000};
    int opens = 1;
    for (int64_t gap : gaps) {
        if (gap > 1) {
            EXPECT_EQ(PassAt(gap - 1), opens) << "too early by 1 ms after " << gap;
        }
        EXPECT_EQ(PassAt(1), ++opens) << "due after " << gap;
    }
    EXPECT_GT(Refreshes(), refreshes) << "each try tells the window the unit is still lost";
    EXPECT_EQ(LinkPass(), 0) << "a unit that waits for its port is not polled";
    EXPECT_TRUE(exits.empty()) << "a loss at run time never ends the process";

    // The adapter is back: opened on the next try, polled from scratch, named again on its
    // first good status.
    OpensOf(1).result = 0;
    Line(ups).autoReply = true;
    EXPECT_EQ(PassAt(5000), opens + 1);
    EXPECT_EQ(PortIsDown(0), 0);
    EXPECT_EQ(ups->errorCount, 0);
    EXPECT_EQ(ups->timeoutShown, 0);
    for (int i = 0; i < 8 && std::strcmp(ups->stateText, "Timeout") == 0; ++i) LinkPass();
    EXPECT_STRNE(ups->stateText, "Timeout");
    EXPECT_GT(Line(ups).writes.size(), writes);
}

TEST_F(PortRecoveryTest, MissingDeviceIsLookedForEverySecondWithoutBackoff) {
    LinkStartup();
    _ZozeUps* ups = &MainUps[0];
    Line(ups).script.push_back({"", UPS_PORT_LOST});
    LinkPass();
    LinkPass();
    ASSERT_EQ(PortIsDown(0), 1);
    OpensOf(1).result = -3;  // no device at the name
    for (int i = 2; i <= 6; ++i) EXPECT_EQ(PassAt(1000), i);

    // A device that exists but refuses (a permission, a lock) backs off from there.
    OpensOf(1).result = -1;
    EXPECT_EQ(PassAt(1000), 7);
    EXPECT_EQ(PassAt(1000), 7);
    EXPECT_EQ(PassAt(1000), 8);
}

TEST_F(PortRecoveryTest, StartFailureEndsTheWindowButAServiceRetries) {
    store = {{"AlderaPresent1", "1"}, {"Com1", "12"}};
    OpensOf(12).result = -3;
    SetOpenFailurePolicy(OPEN_FAILURE_RETRIES);
    LinkStartup();
    EXPECT_TRUE(exits.empty());
    EXPECT_TRUE(posts.empty()) << "no port-failure message: nothing to end";
    EXPECT_EQ(PortIsDown(1), 1);
    EXPECT_STREQ(MainUps[1].stateText, "Timeout");
    EXPECT_EQ(MainUps[1].linkState, LINK_READY);

    OpensOf(12).result = 0;
    Line(&MainUps[1]).autoReply = true;
    PassAt(1000);
    EXPECT_EQ(OpensOf(12).count, 2);
    EXPECT_EQ(PortIsDown(1), 0);
    for (int i = 0; i < 8; ++i) LinkPass();
    EXPECT_STRNE(MainUps[1].stateText, "Timeout");

    // The other unit (device 0 on COM1) was polled all along.
    EXPECT_FALSE(Line(&MainUps[0]).writes.empty());
}

TEST_F(PortRecoveryTest, ReloadOpensAWaitingPortAtOnce) {
    SetOpenFailurePolicy(OPEN_FAILURE_RETRIES);
    OpensOf(1).result = -1;
    LinkStartup();
    ASSERT_EQ(PortIsDown(0), 1);
    OpensOf(1).result = 0;
    KeybCommand(KEYB_RELOAD_PORTS, 0, 0, 0);
    LinkPass();  // no time has passed: only the reload can have opened it
    EXPECT_EQ(OpensOf(1).count, 2);
    EXPECT_EQ(PortIsDown(0), 0);
}

// A loop with nothing to poll rests until the first waiting port is due (so a reopen is never
// late), a second at most; a stop or reload ends the rest however long it was to be.
TEST_F(PortRecoveryTest, AnIdleLoopRestsUntilTheNextRetryIsDueAndWakesForStopAndReload) {
    store = {{"AlderaPresent0", "0"}};
    LinkStartup();
    EXPECT_EQ(LinkPass(), 0);
    EXPECT_EQ(LinkRestMs(), LINK_REST_MAX_MS) << "no unit: nothing but a stop or reload can change";

    store = {{"AlderaPresent0", "1"}, {"Com0", "1"}, {"AlderaPresent1", "1"}, {"Com1", "2"}};
    OpensOf(1).result = -3;
    OpensOf(2).result = -1;
    SetOpenFailurePolicy(OPEN_FAILURE_RETRIES);
    LinkStartup();
    ASSERT_EQ(PortIsDown(0) + PortIsDown(1), 2);
    EXPECT_EQ(LinkRestMs(), PORT_RETRY_FIRST_MS);
    fakeNow += 700;
    EXPECT_EQ(LinkPass(), 0);
    EXPECT_EQ(LinkRestMs(), 300) << "the rest ends when the first port is due";
    fakeNow += 300;
    OpensOf(1).result = 0;
    Line(&MainUps[0]).autoReply = true;
    EXPECT_EQ(LinkPass(), 1) << "due, and tried, on the pass after the rest";
    EXPECT_EQ(OpensOf(1).count, 2);

    // The rest asked for here would last an hour: only the request can end it.
    for (auto request : {+[] { RequestReload(); }, +[] { SetLinkStopRequested(1); }}) {
        std::thread asker([request] {
            for (int i = 0; i < 10; ++i) std::this_thread::yield();
            request();
        });
        LinkRest(3600 * 1000);
        asker.join();
        EXPECT_TRUE(TakeReloadRequest() || LinkStopRequested());
        SetLinkStopRequested(0);
    }
}

}  // namespace
