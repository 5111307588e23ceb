// The link thread's body: start-up, one pass over the present units, and an orderly shutdown.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "link/device_lock.h"
#include "link/link_core.h"

namespace {

std::atomic<int> reloadRequest{0};
std::atomic<int> stopRequest{0};

void DefaultExit(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

std::atomic<LinkExitHandler> exitHandler{DefaultExit};

// Ports opened by this loop (link thread only), so shutdown closes them even if a driver leaves
// portHandle empty.
bool portOpened[4];

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
void RequestReload(void) { reloadRequest.store(1); }
int LinkStopRequested(void) { return stopRequest.load(); }
void SetLinkStopRequested(int stop) { stopRequest.store(stop ? 1 : 0); }

void SetLinkExitHandler(LinkExitHandler handler) {
    exitHandler.store(handler ? handler : DefaultExit);
}

void OpenDevicePort(_ZozeUps* ups) {
    // The open runs on a copy, outside the lock: a failing open waits for the window to show
    // why, and the window may itself be waiting for this device's lock.
    auto scratch = std::make_unique<_ZozeUps>();
    const UpsPortOps* port;
    {
        auto lock = LockDevice(ups);
        *scratch = *ups;
        port = ups->port;
    }
    int result = (port && port->open) ? port->open(scratch.get()) : -1;
    {
        auto lock = LockDevice(ups);
        ups->portHandle = result == 0 ? scratch->portHandle : nullptr;
        int i = DeviceIndex(ups);
        if (i >= 0) portOpened[i] = result == 0;
    }
    if (result != 0) {
        PostToRegisteredWindow(WM_UPS_EVENT, 2, scratch->comPort);
        exitHandler.load()(-1);
    }
}

void LinkStartup(void) {
    InitDeviceTable();
    for (bool& opened : portOpened) opened = false;
    ReadLinkSettings();
    for (int i = 0; i < 4; ++i) {
        if (!IsPresent(i)) continue;
        _ZozeUps* ups = &MainUps[i];
        OpenDevicePort(ups);
        InitDevice(ups);
        auto lock = LockDevice(ups);
        ups->linkState = LINK_READY;
    }
}

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
        PollStep(&MainUps[i]);
        ++polled;
    }
    return polled;
}

void LinkShutdown(void) {
    for (int i = 0; i < 4; ++i) {
        _ZozeUps* ups = &MainUps[i];
        auto lock = LockDevice(ups);
        if (!portOpened[i] && ups->portHandle == nullptr) continue;
        if (ups->port && ups->port->purge) ups->port->purge(PORT_PURGE_RX | PORT_PURGE_TX, ups);
        ClosePort(ups);
    }
}
