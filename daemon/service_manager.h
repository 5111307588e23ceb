// The service manager's side of vesperod (systemd, Type=notify): readiness, the watchdog, stop
// and reload. Every call is a no-op when the process was not started with NOTIFY_SOCKET.
#pragma once

#include <QObject>
#include <QTimer>

namespace nut {

void NotifyReady();     // listening, and the link thread is running
void NotifyStopping();  // the stop has begun

// Brackets a reload: RELOADING=1 while it lives, READY=1 when it goes. The SIGHUP handler keeps
// one on its stack for as long as it rereads the settings, so `systemctl reload` and the unit's
// state reflect the reload.
class ReloadNotice {
public:
    ReloadNotice();
    ~ReloadNotice();
    ReloadNotice(const ReloadNotice&) = delete;
    ReloadNotice& operator=(const ReloadNotice&) = delete;
};

// WATCHDOG=1 from the event loop of the thread that creates it, at half the interval the unit
// asks for (WatchdogSec=). A loop that hangs stops the pings, and systemd restarts the service.
class Watchdog : public QObject {
public:
    Watchdog();
    bool active() const { return timer_.isActive(); }
    int intervalMs() const { return timer_.interval(); }

private:
    QTimer timer_;
};

}  // namespace nut
