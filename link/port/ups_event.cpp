#include "link/port/ups_event.h"

#include <QCoreApplication>
#include <QObject>

#include <atomic>

namespace {
std::atomic<UpsPostObserver> postObserver{nullptr};
std::atomic<void*> refreshWaitingIn{nullptr};  // the window whose queue holds a refresh
}  // namespace

// Qt deletes a posted event once it has been delivered, or with its receiver.
UpsMessageEvent::~UpsMessageEvent() {
    if (message() != WM_UPS_REFRESH || !receiver_) return;
    void* expected = receiver_;
    refreshWaitingIn.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
}

void SetUpsPostObserver(UpsPostObserver observer) { postObserver.store(observer); }

void PostUpsMessage(void* window, int message, uintptr_t wParam, intptr_t lParam) {
    if (UpsPostObserver observer = postObserver.load()) observer(message, wParam, lParam);
    if (!window) return;
    if (message == WM_UPS_REFRESH) {
        // A refresh still waiting for an earlier window does not hold back a newly registered one.
        if (refreshWaitingIn.exchange(window, std::memory_order_acq_rel) == window) return;
    }
    QCoreApplication::postEvent(static_cast<QObject*>(window),
                                new UpsMessageEvent(message, wParam, lParam, window));
}
