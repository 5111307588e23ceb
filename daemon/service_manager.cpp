#include "daemon/service_manager.h"

#include <systemd/sd-daemon.h>

#include <time.h>

#include <cstdint>

#include "daemon/nut/nut_server.h"

namespace nut {

namespace {

std::uint64_t MonotonicUsec() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1000000u + std::uint64_t(ts.tv_nsec) / 1000u;
}

}  // namespace

void NotifyReady() { sd_notify(0, "READY=1"); }

void NotifyStopping() { sd_notify(0, "STOPPING=1"); }

ReloadNotice::ReloadNotice() {
    // Newer service managers match the reload by its monotonic time stamp; older ones ignore it.
    sd_notifyf(0, "RELOADING=1\nMONOTONIC_USEC=%llu", static_cast<unsigned long long>(MonotonicUsec()));
}

ReloadNotice::~ReloadNotice() { sd_notify(0, "READY=1"); }

Watchdog::Watchdog() {
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return;
    // Half the interval, so one late ping is not yet a missed one; at least every millisecond.
    const std::uint64_t ms = usec / 2000u;
    timer_.setInterval(ms == 0 ? 1 : ms > 0x7fffffffu ? 0x7fffffff : int(ms));
    connect(&timer_, &QTimer::timeout, this, [] { sd_notify(0, "WATCHDOG=1"); });
    timer_.start();
    sd_notify(0, "WATCHDOG=1");
    LogLine(QStringLiteral("watchdog: a ping every %1 ms").arg(timer_.interval()));
}

}  // namespace nut
