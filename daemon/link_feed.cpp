#include "daemon/link_feed.h"

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "daemon/nut/nut_server.h"
#include "link/device_lock.h"
#include "link/port/ups_event.h"

namespace nut {

LinkFeed::LinkFeed(UnitBoard* board, Session::Clock clock, QObject* parent)
    : QObject(parent), board_(board), clock_(clock) {
    // Units are known from the link's settings before their first refresh (which may never come
    // from a silent unit): look at presence every second as well.
    presence_.setInterval(1000);
    connect(&presence_, &QTimer::timeout, this, [this] { Sync(false); });
    presence_.start();
}

void LinkFeed::Sync(bool refreshed) {
    auto snapshot = std::make_unique<_ZozeUps>();
    const qint64 now = clock_();
    for (int i = 0; i < 4; ++i) {
        {
            auto lock = LockDevice(i);
            if (!MainUps[i].present) {
                board_->SetPresent(i, false, 0);
                continue;
            }
            *snapshot = MainUps[i];
        }
        board_->SetPresent(i, true, snapshot->comPort);
        if (!announced_[i]) {
            announced_[i] = true;
            LogLine(QStringLiteral("serving the unit on COM%1 as %2")
                        .arg(snapshot->comPort)
                        .arg(QString::fromStdString(board_->UnitAt(i).name)));
        }
        if (refreshed) board_->Update(i, *snapshot, now);
        LogStaleChange(i, now);
    }
}

// In the words the reference server uses, so existing log watchers match them.
void LinkFeed::LogStaleChange(int device, qint64 now) {
    const UnitBoard::Unit& unit = board_->UnitAt(device);
    const bool fresh = !board_->IsStale(unit, now);
    if (fresh == fresh_[device]) return;
    fresh_[device] = fresh;
    const QString name = QString::fromStdString(unit.name);
    if (!fresh)
        LogLine(QStringLiteral("Data for UPS [%1] is stale - check the link").arg(name));
    else if (everFresh_[device])
        LogLine(QStringLiteral("UPS [%1] data is no longer stale").arg(name));
    else
        LogLine(QStringLiteral("UPS [%1]: first data from the unit").arg(name));
    everFresh_[device] = everFresh_[device] || fresh;
}

namespace {
std::mutex portLogMutex;
std::map<int, std::string> unavailable;  // COM n -> the reason last logged
std::set<std::string> startFailures;     // reasons already logged by the first open
}  // namespace

void LogPortOpenFailure(const char* text, const char*) {
    std::lock_guard<std::mutex> lock(portLogMutex);
    startFailures.insert(text);
    LogLine(QStringLiteral("cannot open %1; serving the unit as stale and retrying").arg(QString::fromLocal8Bit(text)));
}

void LogPortStatus(PortEvent event, int comPort, const char* port, const char* reason) {
    std::lock_guard<std::mutex> lock(portLogMutex);
    const QString label = QString::fromLocal8Bit(port);
    const QString why = QString::fromLocal8Bit(reason);
    switch (event) {
    case PortEvent::Lost:
        unavailable.erase(comPort);
        LogLine(QStringLiteral("%1: port lost: %2; reopening").arg(label, why));
        break;
    case PortEvent::Reopened:
        unavailable.erase(comPort);
        LogLine(QStringLiteral("%1: port reopened").arg(label));
        break;
    case PortEvent::Unavailable: {
        auto [it, added] = unavailable.emplace(comPort, reason);
        if (added ? startFailures.count(reason) > 0 : it->second == reason) break;
        it->second = reason;
        LogLine(QStringLiteral("cannot open %1; retrying").arg(why));
        break;
    }
    }
}

bool LinkFeed::event(QEvent* e) {
    if (int(e->type()) == WM_UPS_REFRESH) {
        Sync(true);
        return true;
    }
    if (int(e->type()) == WM_UPS_EVENT) {
        const auto* m = static_cast<UpsMessageEvent*>(e);
        LogLine(QStringLiteral("the port of COM%1 cannot be used").arg(long(m->lParam())));
        return true;
    }
    return QObject::event(e);
}

}  // namespace nut
