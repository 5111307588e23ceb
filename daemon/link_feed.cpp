#include "daemon/link_feed.h"

#include <charconv>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "daemon/history/history_store.h"
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

namespace {
std::mutex portLogMutex;
std::map<int, std::string> unavailable;  // COM n -> the reason last logged
std::set<std::string> startFailures;     // reasons already logged by the first open
LinkFeed* portEvents = nullptr;          // where port changes go into the history
}  // namespace

LinkFeed::~LinkFeed() { SetHistory(nullptr); }

void LinkFeed::SetHistory(history::Store* store) {
    history_ = store;
    std::lock_guard<std::mutex> lock(portLogMutex);
    if (store) portEvents = this;
    else if (portEvents == this) portEvents = nullptr;
}

void LinkFeed::RecordHistory(int device) {
    const UnitBoard::Unit& unit = board_->UnitAt(device);
    // Only once good data has come: the silence before a unit's first answer is no loss.
    if (unit.linkLost != linkLost_[device] && !status_[device].empty())
        history_->AddEvent(unit.name, "link", unit.linkLost ? "link lost" : "link back");
    linkLost_[device] = unit.linkLost;
    if (unit.linkLost || !unit.haveStatus) return;  // the record holds the last readings, not new ones
    const Variable* status = board_->FindVariable(unit, "ups.status");
    if (status && status->value != status_[device]) {
        history_->AddEvent(unit.name, "status",
                           status_[device].empty() ? status->value : status_[device] + " -> " + status->value);
        status_[device] = status->value;
    }
    history::Reading reading;
    for (int q = 0; q < history::kQuantities; ++q) {
        const Variable* v = board_->FindVariable(unit, history::kQuantityNames[q]);
        if (!v) continue;
        double value = 0;
        const char* end = v->value.data() + v->value.size();
        if (std::from_chars(v->value.data(), end, value).ptr == end) reading[q] = value;
    }
    history_->Record(unit.name, reading);
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
        if (refreshed && history_) RecordHistory(i);
        LogStaleChange(i, now);
    }
    if (observer_) observer_(refreshed);
}

// In the words the reference server uses, so existing log watchers match them.
void LinkFeed::LogStaleChange(int device, qint64 now) {
    const UnitBoard::Unit& unit = board_->UnitAt(device);
    const bool fresh = !board_->IsStale(unit, now);
    if (fresh == fresh_[device]) return;
    fresh_[device] = fresh;
    const QString name = QString::fromStdString(unit.name);
    QString text;
    if (!fresh)
        text = QStringLiteral("Data for UPS [%1] is stale - check the link").arg(name);
    else if (everFresh_[device])
        text = QStringLiteral("UPS [%1] data is no longer stale").arg(name);
    else
        text = QStringLiteral("UPS [%1]: first data from the unit").arg(name);
    LogLine(text);
    if (history_) history_->AddEvent(unit.name, fresh ? "fresh" : "stale", text.toStdString());
    everFresh_[device] = everFresh_[device] || fresh;
}

void LogPortOpenFailure(const char* text, const char*) {
    std::lock_guard<std::mutex> lock(portLogMutex);
    startFailures.insert(text);
    LogLine(QStringLiteral("cannot open %1; serving the unit as stale and retrying").arg(QString::fromLocal8Bit(text)));
}

void LogPortStatus(PortEvent event, int comPort, const char* port, const char* reason) {
    std::lock_guard<std::mutex> lock(portLogMutex);
    const QString label = QString::fromLocal8Bit(port);
    const QString why = QString::fromLocal8Bit(reason);
    // Runs on the link thread: the history is written on the feed's.
    auto note = [comPort](QString text) {
        if (!portEvents) return;
        LinkFeed* feed = portEvents;
        QMetaObject::invokeMethod(
            feed,
            [feed, comPort, text] {
                if (!feed->history_) return;
                std::string unit;
                for (const UnitBoard::Unit* u : feed->board_->PresentUnits())
                    if (u->comPort == comPort) unit = u->name;
                feed->history_->AddEvent(unit, "port", text.toStdString());
            },
            Qt::QueuedConnection);
    };
    switch (event) {
    case PortEvent::Lost:
        unavailable.erase(comPort);
        LogLine(QStringLiteral("%1: port lost: %2; reopening").arg(label, why));
        note(QStringLiteral("%1: port lost: %2").arg(label, why));
        break;
    case PortEvent::Reopened:
        unavailable.erase(comPort);
        // The port is open again; whether the unit answers on it the next refresh tells.
        LogLine(QStringLiteral("%1: port reopened, waiting for the unit to answer").arg(label));
        note(QStringLiteral("%1: port reopened, waiting for the unit to answer").arg(label));
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
