// Each unit's ring of pending commands plus one retry slot that goes before the ring. The window
// thread feeds the ring through KeybCommand while the link thread drains it, hence the lock.
#include "link/device_lock.h"
#include "link/link_core.h"

namespace {

constexpr int kRingSize = static_cast<int>(sizeof(_ZozeUps::ring) / sizeof(_ZozeUps::ring[0]));

// The indices are link-owned; should they ever be found outside the ring, start it empty
// rather than index past it.
void KeepIndicesInRing(_ZozeUps* ups) {
    if (ups->ringRead < 0 || ups->ringRead >= kRingSize || ups->ringWrite < 0 ||
        ups->ringWrite >= kRingSize)
        ups->ringRead = ups->ringWrite = 0;
}

}  // namespace

int EnqueueCommand(int code, _ZozeUps* ups) {
    if (FindCommand(code) == -1) return -1;
    auto lock = LockDevice(ups);
    KeepIndicesInRing(ups);
    int next = ups->ringWrite + 1 == kRingSize ? 0 : ups->ringWrite + 1;
    // One slot always stays free, so a full ring is never mistaken for an empty one.
    if (next == ups->ringRead) return -1;
    ups->ring[ups->ringWrite] = code;
    ups->ringWrite = next;
    return 0;
}

int NextCommand(_ZozeUps* ups) {
    auto lock = LockDevice(ups);
    if (ups->retryPending) {
        ups->retryPending = 0;
        return ups->retryCommand;
    }
    KeepIndicesInRing(ups);
    if (ups->ringRead == ups->ringWrite) return -1;
    int code = ups->ring[ups->ringRead];
    ups->ringRead = ups->ringRead + 1 == kRingSize ? 0 : ups->ringRead + 1;
    return code;
}

void SetRetry(int code, _ZozeUps* ups) {
    auto lock = LockDevice(ups);
    ups->retryCommand = code;
    ups->retryPending = 1;
}
