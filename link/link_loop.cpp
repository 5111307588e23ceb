// The link thread's body: start-up, one pass over the present units, and an orderly shutdown.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "link/device_lock.h"
#include "link/link_core.h"

namespace {

std::atomic<int> reloadRequest{0};
std::atomic<int> stopRequest{0};
std::atomic<int> started{0};

// Ends a rest early when a stop or a reload is asked for.
std::mutex restMutex;
std::condition_variable restWake;

void WakeRest() {
    { const std::lock_guard lock(restMutex); }
    restWake.notify_all();
}

void DefaultExit(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

std::atomic<LinkExitHandler> exitHandler{DefaultExit};

// Ports opened by this loop (link thread only), so shutdown closes them even if a driver leaves
// portHandle empty.
bool portOpened[4];

std::atomic<int> openFailurePolicy{OPEN_FAILURE_ENDS_PROCESS};

int64_t SteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
std::atomic<LinkClock> linkClock{SteadyMs};

// A unit whose port is closed until the loop manages to open it again (link thread only, apart
// from the flag, which others may read).
struct PortRecovery {
    std::atomic<int> down{0};
    int64_t nextTryMs = 0;
    int backoffMs = PORT_RETRY_FIRST_MS;
};
PortRecovery recovery[4];
thread_local int reopening = 0;

void ScheduleRetry(int device, int openResult) {
    PortRecovery& r = recovery[device];
    // Nothing at the name yet (an unplugged adapter) costs next to nothing to look for again.
    const int wait = openResult == -3 ? PORT_RETRY_FIRST_MS : r.backoffMs;
    if (openResult != -3) r.backoffMs = r.backoffMs * 2 > PORT_RETRY_MAX_MS ? PORT_RETRY_MAX_MS : r.backoffMs * 2;
    r.nextTryMs = linkClock.load()() + wait;
    r.down.store(1);
}

int DeviceIndex(const _ZozeUps* ups) {
    for (int i = 0; i < 4; ++i)
        if (ups == &MainUps[i]) return i;
    return -1;
}

int IsPresent(int device) {
    auto lock = LockDevice(device);
    return MainUps[device].present;
}

void ClosePort(_ZozeUps* ups) {
    auto lock = LockDevice(ups);
    if (ups->port && ups->port->close) ups->port->close(ups);
    ups->portHandle = nullptr;
    int i = DeviceIndex(ups);
    if (i >= 0) portOpened[i] = false;
}

}  // namespace

int TakeReloadRequest(void) { return reloadRequest.exchange(0); }
void RequestReload(void) {
    reloadRequest.store(1);
    WakeRest();
}
int LinkStopRequested(void) { return stopRequest.load(); }
void SetLinkStopRequested(int stop) {
    stopRequest.store(stop ? 1 : 0);
    WakeRest();
}

void SetLinkExitHandler(LinkExitHandler handler) {
    exitHandler.store(handler ? handler : DefaultExit);
}

namespace {

// The open runs on a copy, outside the lock: a failing open waits for the window to show why, and
// the window may itself be waiting for this device's lock. Returns the port layer's result.
int OpenOnCopy(_ZozeUps* ups, int* comPort) {
    auto scratch = std::make_unique<_ZozeUps>();
    const UpsPortOps* port;
    {
        auto lock = LockDevice(ups);
        *scratch = *ups;
        port = ups->port;
    }
    int result = (port && port->open) ? port->open(scratch.get()) : -1;
    auto lock = LockDevice(ups);
    ups->portHandle = result == 0 ? scratch->portHandle : nullptr;
    int i = DeviceIndex(ups);
    if (i >= 0) portOpened[i] = result == 0;
    *comPort = scratch->comPort;
    return result;
}

// Closes a port that can no longer be used; the unit shows the loss at once.
void MarkPortLost(int device) {
    _ZozeUps* ups = &MainUps[device];
    ClosePort(ups);
    {
        auto lock = LockDevice(ups);
        ShowTimeout(ups);
        ups->linkState = LINK_READY;
    }
    recovery[device].backoffMs = PORT_RETRY_FIRST_MS;
    ScheduleRetry(device, -1);
    PostToRegisteredWindow(WM_UPS_REFRESH, 0, 0);
}

// One try at reopening a unit's port, when it is due. True once the port is open again.
bool TryReopen(int device) {
    PortRecovery& r = recovery[device];
    if (linkClock.load()() < r.nextTryMs) return false;
    _ZozeUps* ups = &MainUps[device];
    int comPort = 0;
    reopening = 1;
    const int result = OpenOnCopy(ups, &comPort);
    reopening = 0;
    if (result != 0) {
        ScheduleRetry(device, result);
        PostToRegisteredWindow(WM_UPS_REFRESH, 0, 0);
        return false;
    }
    {
        // A fresh start of the exchange; the text stays "Timeout" until a good status replaces it.
        auto lock = LockDevice(ups);
        ups->linkState = LINK_READY;
        ups->rxCount = 0;
        ups->errorCount = 0;
        ups->emptyReadCount = 0;
        ups->retryCount = 0;
        ups->timeoutShown = 0;
        ups->overlapped.lastError = 0;
    }
    r.down.store(0);
    r.backoffMs = PORT_RETRY_FIRST_MS;
    return true;
}

bool ReadReportedLoss(int device) {
    auto lock = LockDevice(device);
    return MainUps[device].overlapped.lastError == UPS_PORT_LOST;
}

}  // namespace

void SetOpenFailurePolicy(int policy) { openFailurePolicy.store(policy); }
int PortOpenIsRetry(void) { return reopening; }
int PortIsDown(int device) { return device >= 0 && device < 4 ? recovery[device].down.load() : 0; }
void SetLinkClock(LinkClock clock) { linkClock.store(clock ? clock : SteadyMs); }

void OpenDevicePort(_ZozeUps* ups) {
    int comPort = 0;
    const int result = OpenOnCopy(ups, &comPort);
    const int device = DeviceIndex(ups);
    if (result == 0) {
        if (device >= 0) recovery[device].down.store(0);
        return;
    }
    if (openFailurePolicy.load() == OPEN_FAILURE_RETRIES && device >= 0) {
        recovery[device].backoffMs = PORT_RETRY_FIRST_MS;
        ScheduleRetry(device, result);
        return;
    }
    PostToRegisteredWindow(WM_UPS_EVENT, 2, comPort);
    exitHandler.load()(-1);
}

void LinkStartup(void) {
    InitDeviceTable();
    for (bool& opened : portOpened) opened = false;
    for (PortRecovery& r : recovery) {
        r.down.store(0);
        r.backoffMs = PORT_RETRY_FIRST_MS;
    }
    ReadLinkSettings();
    for (int i = 0; i < 4; ++i) {
        if (!IsPresent(i)) continue;
        _ZozeUps* ups = &MainUps[i];
        OpenDevicePort(ups);
        InitDevice(ups);
        auto lock = LockDevice(ups);
        ups->linkState = LINK_READY;
    }
    started.store(1);
}

int LinkHasStarted(void) { return started.load(); }

int LinkPass(void) {
    // Taken (and cleared) before the reopen: a request made meanwhile is served next pass.
    if (TakeReloadRequest()) {
        SaveLinkSettings();
        for (int i = 0; i < 4; ++i) {
            if (!IsPresent(i)) continue;
            ClosePort(&MainUps[i]);
            OpenDevicePort(&MainUps[i]);
        }
    }
    int polled = 0;
    for (int i = 0; i < 4; ++i) {
        if (!IsPresent(i)) continue;
        if (recovery[i].down.load() && !TryReopen(i)) continue;
        PollStep(&MainUps[i]);
        ++polled;
        if (ReadReportedLoss(i)) MarkPortLost(i);
    }
    return polled;
}

int LinkRestMs(void) {
    const int64_t now = linkClock.load()();
    int64_t rest = LINK_REST_MAX_MS;
    for (int i = 0; i < 4; ++i)
        if (IsPresent(i) && recovery[i].down.load()) rest = std::min(rest, std::max<int64_t>(0, recovery[i].nextTryMs - now));
    return int(rest);
}

void LinkRest(int ms) {
    std::unique_lock lock(restMutex);
    restWake.wait_for(lock, std::chrono::milliseconds(ms), [] { return stopRequest.load() || reloadRequest.load(); });
}

void LinkShutdown(void) {
    started.store(0);
    for (int i = 0; i < 4; ++i) {
        _ZozeUps* ups = &MainUps[i];
        auto lock = LockDevice(ups);
        if (!portOpened[i] && ups->portHandle == nullptr) continue;
        if (ups->port && ups->port->purge) ups->port->purge(PORT_PURGE_RX | PORT_PURGE_TX, ups);
        ClosePort(ups);
    }
}
