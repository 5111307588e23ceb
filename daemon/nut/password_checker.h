// The password checks of the NUT side and the web side, run on one worker thread so that key
// derivations never take more than one core, whoever sends them.
//
// Nobody is locked out: a flood of wrong passwords only makes the checks wait. Each address has
// its own queue and the worker takes the addresses in turn, so an address that floods delays its
// own attempts, not other people's; within an address attempts keep their order (a NUT connection
// has at most one waiting). When an address has too many waiting, its oldest are dropped first.
//
// A credential that matched is remembered for an hour as an HMAC of user, stored entry and
// password under a key made at start (never the password itself), so that a client that has
// logged in before is let in at once, however busy the worker is. Forget() clears that on a reload.
#pragma once

#include <QByteArray>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "daemon/nut/users_file.h"

namespace nut {

class PasswordChecker {
public:
    enum class Outcome { Matches, Wrong, Dropped };
    using Run = std::function<bool(const PasswordCheck&)>;
    // Called on the worker thread (or, for a drop, on the thread that submitted the attempt that
    // pushed it out, under the checker's lock): it must only hand the outcome over, never call
    // back into the checker.
    using Done = std::function<void(Outcome)>;
    using Clock = std::function<int64_t()>;  // milliseconds, steady

    static constexpr size_t kMaxWaitingPerAddress = 32;  // the NUT side's connections per address
    static constexpr size_t kMaxWaiting = 1024;          // in all; the longest queue gives way
    static constexpr int64_t kRememberMs = 3600 * 1000LL;
    static constexpr size_t kMaxRemembered = 4096;

    explicit PasswordChecker(Clock clock = {});
    ~PasswordChecker();
    PasswordChecker(const PasswordChecker&) = delete;
    PasswordChecker& operator=(const PasswordChecker&) = delete;

    // Replaces the key derivation (tests hold checks back and count them).
    void SetRun(Run run);

    // True when this credential matched within the last hour (and the user's entry is unchanged).
    bool Remembered(const PasswordCheck& check);
    // Queues a check for peer; returns its number for Cancel. owner names who submitted it.
    uint64_t Submit(const void* owner, const std::string& peer, PasswordCheck check, Done done);
    // A waiting check is dropped without its Done being called (its client has gone).
    void Cancel(uint64_t id);
    // Drops every waiting check of owner and waits for its running one: after this no Done of
    // owner's is called any more.
    void CancelAll(const void* owner);
    // Forgets every remembered credential (the users file was read again).
    void Forget();

    size_t Waiting();
    size_t RememberedCount();
    uint64_t Dropped();  // in all, since start

private:
    struct Job {
        uint64_t id;
        const void* owner;
        std::string peer;
        PasswordCheck check;
        Done done;
    };

    void Work();
    QByteArray Key(const PasswordCheck& check) const;
    // Takes the oldest job of peer's queue out (under the lock); its Done goes to *dropped.
    void DropOldest(const std::string& peer, std::vector<Done>* dropped);
    void Unlink(const std::string& peer);
    void Remember(const QByteArray& key);

    Clock clock_;
    QByteArray secret_;
    std::mutex mutex_;
    std::condition_variable wanted_, finished_;
    Run run_;
    std::unordered_map<std::string, std::deque<Job>> queues_;
    std::deque<std::string> turns_;  // addresses with waiting checks, next first
    size_t waiting_ = 0;
    uint64_t nextId_ = 0;
    uint64_t dropped_ = 0;
    const void* runningOwner_ = nullptr;
    bool running_ = false;
    bool stop_ = false;
    std::map<QByteArray, int64_t> remembered_;  // key -> when it matched
    std::thread thread_;
};

}  // namespace nut
