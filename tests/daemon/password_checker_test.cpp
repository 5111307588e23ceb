// The shared password checker on its own: whose check runs next when many addresses flood at
// once, which attempt gives way when too many wait, and that an owner gone gets no verdict.
#include <gtest/gtest.h>

#include <QSemaphore>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "daemon/nut/password_checker.h"

namespace {

using Outcome = nut::PasswordChecker::Outcome;

class CheckerTest : public ::testing::Test {
protected:
    CheckerTest() {
        checker_.SetRun([this](const nut::PasswordCheck& check) {
            ++started_;
            gate_.acquire();
            const std::lock_guard lock(mutex_);
            ran_.push_back(check.given);
            return check.given == "right";
        });
    }
    ~CheckerTest() override {
        gate_.release(100000);
        checker_.CancelAll(this);
    }

    uint64_t Submit(const std::string& peer, const std::string& given) {
        nut::PasswordCheck check;
        check.user = "admin";
        check.known = true;
        check.stored = "right";
        check.given = given;
        return checker_.Submit(this, peer, check, [this, given](Outcome o) {
            const std::lock_guard lock(mutex_);
            outcomes_.emplace_back(given, o);
        });
    }
    bool WaitStarted(int n) {
        for (int i = 0; i < 5000; ++i) {
            if (started_ >= n) return true;
            QSemaphore().tryAcquire(1, 1);
        }
        return false;
    }
    bool Wait(size_t outcomes) {
        for (int i = 0; i < 5000; ++i) {
            {
                const std::lock_guard lock(mutex_);
                if (outcomes_.size() >= outcomes) return true;
            }
            QSemaphore().tryAcquire(1, 1);
        }
        return false;
    }
    Outcome OutcomeOf(const std::string& given) {
        const std::lock_guard lock(mutex_);
        for (const auto& [g, o] : outcomes_)
            if (g == given) return o;
        ADD_FAILURE() << given << " has no outcome";
        return Outcome::Wrong;
    }

    int64_t now_ = 0;
    nut::PasswordChecker checker_{[this] { return now_; }};
    QSemaphore gate_;
    std::atomic<int> started_{0};
    std::mutex mutex_;
    std::vector<std::string> ran_;
    std::vector<std::pair<std::string, Outcome>> outcomes_;
};

// A hundred addresses each with a full queue of wrong passwords: the owner at an address of its
// own is checked within one round of them, not after their thousands of attempts; and when the
// checker is full in all, the longest queues give way, never the owner's single attempt.
TEST_F(CheckerTest, TheOwnerIsCheckedWithinOneRoundOfAHundredFloodingAddresses) {
    constexpr int kAddresses = 100;
    Submit("127.0.0.1", "first");
    ASSERT_TRUE(WaitStarted(1));
    for (int round = 0; round < 16; ++round)
        for (int a = 1; a <= kAddresses; ++a) Submit("127.0.0." + std::to_string(a), "wrong");
    EXPECT_EQ(checker_.Waiting(), nut::PasswordChecker::kMaxWaiting);
    const uint64_t droppedBefore = checker_.Dropped();
    EXPECT_EQ(droppedBefore, size_t(16 * kAddresses) - nut::PasswordChecker::kMaxWaiting);
    Submit("127.0.0.200", "right");
    EXPECT_EQ(checker_.Dropped(), droppedBefore + 1);  // one of the flood made room

    gate_.release(kAddresses + 2);
    ASSERT_TRUE(Wait(size_t(16 * kAddresses) - nut::PasswordChecker::kMaxWaiting + 1 + kAddresses + 2));
    EXPECT_EQ(OutcomeOf("right"), Outcome::Matches);
    {
        const std::lock_guard lock(mutex_);
        EXPECT_EQ(ran_.size(), size_t(kAddresses + 2));  // "first", one round, and the owner
        EXPECT_EQ(ran_.back(), "right");
    }
    // Its credential is now remembered: let in without a check, and only it.
    nut::PasswordCheck again;
    again.user = "admin";
    again.known = true;
    again.stored = "right";
    again.given = "right";
    EXPECT_TRUE(checker_.Remembered(again));
    again.given = "Right";
    EXPECT_FALSE(checker_.Remembered(again));
    again.given = "right";
    again.stored = "changed";
    EXPECT_FALSE(checker_.Remembered(again));
    again.stored = "right";
    now_ += nut::PasswordChecker::kRememberMs;
    EXPECT_FALSE(checker_.Remembered(again));
}

// Cancelled and gone: a cancelled check never runs and gets no verdict; CancelAll drops an
// owner's waiting checks and returns only once its running one is done with.
TEST_F(CheckerTest, CancelledChecksNeverRunAndCancelAllWaitsForTheRunningOne) {
    Submit("127.0.0.1", "running");
    ASSERT_TRUE(WaitStarted(1));
    const uint64_t gone = Submit("127.0.0.1", "gone");
    Submit("127.0.0.2", "kept");
    checker_.Cancel(gone);
    EXPECT_EQ(checker_.Waiting(), 1u);
    gate_.release(2);
    ASSERT_TRUE(Wait(2));
    EXPECT_EQ(OutcomeOf("running"), Outcome::Wrong);
    EXPECT_EQ(OutcomeOf("kept"), Outcome::Wrong);

    Submit("127.0.0.1", "held");
    Submit("127.0.0.1", "never");
    ASSERT_TRUE(WaitStarted(3));
    std::atomic<bool> returned{false};
    std::thread releaser([&] {
        QSemaphore().tryAcquire(1, 50);
        EXPECT_FALSE(returned);  // still held: CancelAll must be waiting for it
        gate_.release(1);
    });
    checker_.CancelAll(this);
    returned = true;
    releaser.join();
    EXPECT_EQ(checker_.Waiting(), 0u);
    const std::lock_guard lock(mutex_);
    EXPECT_EQ(outcomes_.size(), 3u);  // "held" delivered before CancelAll returned; "never" not at all
    EXPECT_EQ(std::count(ran_.begin(), ran_.end(), "never"), 0);
}

}  // namespace
