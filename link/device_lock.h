// One lock per device record, kept outside the exported record. The link thread holds it
// whenever it touches a record, except while it waits on the port for reply characters; the
// window holds it to copy unit values and to fill a write copy. Recursive, so a window that
// fills a write copy may call KeybCommand while still holding it.
#pragma once

#include <mutex>

#include "ups_link.h"

std::recursive_mutex& DeviceMutex(const _ZozeUps* ups);

inline std::unique_lock<std::recursive_mutex> LockDevice(const _ZozeUps* ups) {
    return std::unique_lock<std::recursive_mutex>(DeviceMutex(ups));
}

inline std::unique_lock<std::recursive_mutex> LockDevice(int device) {
    return LockDevice(&MainUps[device]);
}

// A consistent copy of one record for the window.
inline _ZozeUps SnapshotDevice(int device) {
    auto lock = LockDevice(device);
    return MainUps[device];
}
