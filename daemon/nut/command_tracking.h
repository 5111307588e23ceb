// Instant commands followed for the clients that asked for it (SET TRACKING ON). Each gets an id;
// its status is PENDING until the unit has accepted the command (SUCCESS) or the link has given it
// up after its retries (ERR FAILED). An entry is forgotten an hour after it began.
#pragma once

#include <QtGlobal>

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>

namespace nut {

class CommandTracker {
public:
    // The link's count of accepted and given-up commands of one code on one device.
    using OutcomeFn = int (*)(int code, int device, uint32_t* accepted, uint32_t* dropped);
    explicit CommandTracker(OutcomeFn outcomes = nullptr);

    // Call just before the command is queued; returns its id.
    std::string Start(int device, int commandCode, qint64 nowMs);
    // "PENDING", "SUCCESS", "ERR FAILED", or "ERR UNKNOWN" for an id not (or no longer) known.
    std::string Status(std::string_view id, qint64 nowMs);

    static constexpr qint64 kKeepMs = 3600 * 1000;
    static constexpr size_t kMaxEntries = 10000;

private:
    struct Entry {
        int device = 0;
        int code = 0;
        uint32_t accepted = 0;  // the link's counts when the command was queued
        uint32_t dropped = 0;
        qint64 startMs = 0;
        const char* result = "PENDING";
    };
    void Forget(qint64 nowMs);

    OutcomeFn outcomes_;
    std::map<std::string, Entry, std::less<>> entries_;
    std::deque<std::string> order_;  // ids, oldest first
};

}  // namespace nut
