#include "link/device_lock.h"

namespace {
std::recursive_mutex deviceMutexes[4];
std::recursive_mutex strayMutex;  // records outside the table (tests' own records)
}  // namespace

std::recursive_mutex& DeviceMutex(const _ZozeUps* ups) {
    for (int i = 0; i < 4; ++i)
        if (ups == &MainUps[i]) return deviceMutexes[i];
    return strayMutex;
}
