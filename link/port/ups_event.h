// The link's notifications as Qt events. A message posted to the registered window arrives as a
// UpsMessageEvent whose type() is the message number (WM_UPS_REFRESH, WM_UPS_EVENT).
#pragma once

#include <QEvent>

#include <cstdint>

#include "link/ups_link.h"

class UpsMessageEvent : public QEvent {
public:
    UpsMessageEvent(int message, uintptr_t wParam, intptr_t lParam, void* receiver = nullptr)
        : QEvent(static_cast<QEvent::Type>(message)), wParam_(wParam), lParam_(lParam),
          receiver_(receiver) {}
    ~UpsMessageEvent() override;

    int message() const { return int(type()); }
    uintptr_t wParam() const { return wParam_; }
    intptr_t lParam() const { return lParam_; }

private:
    uintptr_t wParam_;
    intptr_t lParam_;
    void* receiver_;  // the window it was posted to
};

static_assert(int(WM_UPS_REFRESH) > int(QEvent::User) && int(WM_UPS_EVENT) > int(QEvent::User) &&
              int(WM_UPS_EVENT) < int(QEvent::MaxUser));

// Posts the message to window (a QObject*) through the receiver's event queue; never blocks.
// A refresh is not queued again while the previous one still waits undelivered: the window
// reads the newest record whenever it gets to it, and a unit that answers faster than the window
// refreshes must not grow its queue without end.
void PostUpsMessage(void* window, int message, uintptr_t wParam, intptr_t lParam);

// Called on the link thread for every message, right before it is posted (nullptr: none).
// Lets a caller see the moment of posting in the link's own order of work.
using UpsPostObserver = void (*)(int message, uintptr_t wParam, intptr_t lParam);
void SetUpsPostObserver(UpsPostObserver observer);
