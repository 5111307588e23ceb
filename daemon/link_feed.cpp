#include "daemon/link_feed.h"

#include <memory>

#include "daemon/nut_server.h"
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
