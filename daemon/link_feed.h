// Receives the link's refreshes (it is the window SendHwnd registers) and copies every present
// unit's record into the board. The board then answers clients without touching the link.
#pragma once

#include <QObject>
#include <QTimer>

#include <functional>
#include <string>

#include "daemon/nut/nut_session.h"
#include "daemon/unit_board.h"
#include "link/port/port_errors.h"

namespace history {
class Store;
}

namespace nut {

class LinkFeed : public QObject {
public:
    LinkFeed(UnitBoard* board, Session::Clock clock, QObject* parent = nullptr);
    ~LinkFeed() override;
    // Keeps each refresh's measurements and the units' changes (status, link, stale, port) there.
    void SetHistory(history::Store* store);
    // Notes which units the link serves; with refreshed, also takes a snapshot of each.
    void Sync(bool refreshed);
    // Told after every Sync, once the board holds its outcome (the web side's updates).
    void SetSyncObserver(std::function<void(bool refreshed)> observer) { observer_ = std::move(observer); }

protected:
    bool event(QEvent* e) override;

private:
    void LogStaleChange(int device, qint64 now);
    void RecordHistory(int device);
    friend void LogPortStatus(PortEvent, int, const char*, const char*);

    UnitBoard* board_;
    Session::Clock clock_;
    QTimer presence_;
    bool announced_[4] = {};
    bool fresh_[4] = {};      // as last logged
    bool everFresh_[4] = {};
    history::Store* history_ = nullptr;
    std::string status_[4];  // ups.status as last recorded
    bool linkLost_[4] = {};
    std::function<void(bool)> observer_;
};

// The link's port changes as lines of the service's log (installed as the port status reporter;
// runs on the link thread). A port that stays unavailable is logged again only when its reason
// changes.
void LogPortStatus(PortEvent event, int comPort, const char* port, const char* reason);
// A port that cannot be opened at start (installed as the port error reporter).
void LogPortOpenFailure(const char* text, const char* caption);

}  // namespace nut
