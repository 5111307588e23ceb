// Receives the link's refreshes (it is the window SendHwnd registers) and copies every present
// unit's record into the board. The board then answers clients without touching the link.
#pragma once

#include <QObject>
#include <QTimer>

#include "daemon/nut_session.h"
#include "daemon/unit_board.h"

namespace nut {

class LinkFeed : public QObject {
public:
    LinkFeed(UnitBoard* board, Session::Clock clock, QObject* parent = nullptr);
    // Notes which units the link serves; with refreshed, also takes a snapshot of each.
    void Sync(bool refreshed);

protected:
    bool event(QEvent* e) override;

private:
    UnitBoard* board_;
    Session::Clock clock_;
    QTimer presence_;
    bool announced_[4] = {};
};

}  // namespace nut
