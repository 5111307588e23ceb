// One step of a unit's state machine: send the next command, or collect, check and decode its
// reply. Failures are counted, retried up to three times and then dropped; the ring goes on.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "link/device_lock.h"
#include "link/link_core.h"
#include "link/local_time.h"

namespace {

// Outcomes per device and command row, guarded by the device lock.
constexpr int kMaxRows = 64;
struct Outcomes {
    uint32_t accepted[kMaxRows];
    uint32_t dropped[kMaxRows];
};
Outcomes outcomes[4];

Outcomes* OutcomesOf(const _ZozeUps* ups) {
    for (int i = 0; i < 4; ++i)
        if (ups == &MainUps[i]) return &outcomes[i];
    return nullptr;
}

void Count(uint32_t (Outcomes::*counts)[kMaxRows], int index, const _ZozeUps* ups) {
    Outcomes* o = OutcomesOf(ups);
    if (o && index >= 0 && index < kMaxRows) ++(o->*counts)[index];
}

int TableRows() {
    static const int rows = [] {
        int n = 0;
        while (CommandTable[n].code != -1) ++n;
        return n;
    }();
    return rows;
}

void Purge(int which, _ZozeUps* ups) {
    if (ups->port && ups->port->purge) ups->port->purge(which, ups);
}

// Adds one poll cycle: status and service values always, a battery-test result when the unit
// flags one, and the read of the current rotation phase.
void StartPollCycle(_ZozeUps* ups) {
    PostToRegisteredWindow(WM_UPS_REFRESH, 0, 0);
    EnqueueCommand(CMD_READ_STATUS, ups);
    EnqueueCommand(CMD_READ_DEBUG, ups);
    if (ups->status.flags12 & 0x8000) EnqueueCommand(CMD_READ_BATTERY_TEST, ups);
    int phase = ups->pollPhase;
    ups->pollPhase = phase + 1;
    switch (phase) {
    case 0:
        EnqueueCommand(CMD_READ_VERSION, ups);
        EnqueueCommand(CMD_READ_PROTOCOL_ADDS, ups);
        break;
    case 1:
        EnqueueCommand(CMD_READ_AD_AMPLITUDES, ups);
        EnqueueCommand(CMD_READ_AD_OFFSETS, ups);
        break;
    case 2: EnqueueCommand(CMD_READ_USER_PARAMS, ups); break;
    case 3: EnqueueCommand(CMD_READ_BATTERY_FAILURE, ups); break;
    case 4: EnqueueCommand(CMD_READ_SYSTEM_FAILURE, ups); break;
    case 5: EnqueueCommand(CMD_READ_HISTORY, ups); break;
    case 6: EnqueueCommand(CMD_READ_IDENTITY, ups); break;
    case 7: EnqueueCommand(CMD_READ_SETUP, ups); break;
    case 8: EnqueueCommand(CMD_READ_AUX, ups); break;
    default: ups->pollPhase = 0; break;
    }
}

void SendNext(_ZozeUps* ups) {
    ups->activeCommand = NextCommand(ups);
    if (ups->activeCommand == -1) {
        StartPollCycle(ups);
        ups->activeCommand = NextCommand(ups);
    }
    int index = FindCommand(ups->activeCommand);
    if (index < 0) return;  // nothing sendable; stay ready and try again next pass
    ups->activeIndex = index;
    const CommandEntry& row = CommandTable[index];
    row.build(row.commandChar, ups);
    ups->linkState = LINK_AWAITING_REPLY;
    ups->rxCount = 0;
}

void TraceEmptyRead(uint32_t error, int activeCommand) {
    char when[32] = "";
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!ToLocalTime(now, &local) || !AscTimeText(local, when, sizeof when))
        std::snprintf(when, sizeof when, "%s", "\n");
    std::printf("Error %lx ActiveCommand %x %s", static_cast<unsigned long>(error),
                static_cast<unsigned>(activeCommand), when);
}

}  // namespace

void ShowTimeout(_ZozeUps* ups) {
    if (ups->timeoutShown) return;
    std::snprintf(ups->stateText, sizeof ups->stateText, "%s", "Timeout");
    ups->timeoutShown = 1;
}

void PollStep(_ZozeUps* ups) {
    std::unique_lock<std::recursive_mutex> lock(DeviceMutex(ups));

    if (ups->linkState != LINK_AWAITING_REPLY) {
        SendNext(ups);
        return;
    }

    if (ups->activeIndex < 0 || ups->activeIndex >= TableRows()) {
        ups->linkState = LINK_READY;
        return;
    }
    const CommandEntry& row = CommandTable[ups->activeIndex];
    if (ups->rxCount < 0 || ups->rxCount > row.replyLength) ups->rxCount = 0;
    const int wanted = row.replyLength - ups->rxCount;
    const UpsPortOps* port = ups->port;
    // What the driver applies before every read: a gap of 1500 ms, at most 500 + 5 ms per char.
    ups->timeouts = CommTimeouts{1500, 5, 500, 0, 0};
    ups->bytesRead = 0;

    // The wait for characters is the one thing done without the lock, so the window can take
    // its snapshots meanwhile; the read must not touch the record.
    char received[sizeof ups->rxText];
    uint32_t error = 0;
    lock.unlock();
    int count = (port && port->read) ? port->read(received, wanted, &error, ups) : 0;
    lock.lock();

    if (count < 0) count = 0;
    if (count > wanted) count = wanted;
    std::memcpy(ups->rxText + ups->rxCount, received, static_cast<size_t>(count));
    ups->bytesRead = static_cast<uint32_t>(count);
    ups->overlapped.lastError = error;

    if (count > 0) {
        ups->rxCount += count;
        ups->emptyReadCount = 0;
        if (ups->rxCount >= row.replyLength) {
            ups->rxText[ups->rxCount] = '\0';
            if (CheckReply(ups->rxText, ups->payload, row.replyLength)) {
                row.decode(ups);
                Count(&Outcomes::accepted, ups->activeIndex, ups);
                ups->linkState = LINK_READY;
                if (ups->retryCount && ups->errorCount) {
                    ups->retryCount = 0;
                    ups->timeoutShown = 0;
                }
                ups->errorCount = 0;
            } else {
                ups->errorCount += 1;
                Purge(PORT_PURGE_RX, ups);
                if (ups->errorCount > 2) ShowTimeout(ups);
            }
            ups->linkState = LINK_READY;
            Purge(PORT_PURGE_RX, ups);
        }
    } else {
        TraceEmptyRead(error, ups->activeCommand);
        Purge(PORT_PURGE_RX, ups);
        if (error != ERROR_IO_PENDING_CODE) ups->errorCount += 1;
        ups->emptyReadCount += 1;
        if (ups->emptyReadCount > 3) {
            ups->emptyReadCount = 4;
            ShowTimeout(ups);
        }
    }

    if (ups->errorCount >= 2) {
        if (ups->retryCount < 3) {
            SetRetry(ups->activeCommand, ups);
            ups->retryCount += 1;
        } else {
            ups->retryCount = 0;  // dropped; the ring goes on
            Count(&Outcomes::dropped, FindCommand(ups->activeCommand), ups);
        }
        ups->linkState = LINK_READY;
    }
}

int CommandOutcomes(int code, const _ZozeUps* ups, uint32_t* accepted, uint32_t* dropped) {
    const int index = FindCommand(code);
    Outcomes* o = OutcomesOf(ups);
    if (index < 0 || index >= kMaxRows || !o) return 0;
    auto lock = LockDevice(ups);
    *accepted = o->accepted[index];
    *dropped = o->dropped[index];
    return 1;
}
