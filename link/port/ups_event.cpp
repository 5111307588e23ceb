#include "link/port/ups_event.h"

#include <QCoreApplication>
#include <QObject>

#include <atomic>

namespace {
std::atomic<UpsPostObserver> postObserver{nullptr};
std::atomic<bool> refreshWaiting{false};  // a refresh is in the window's queue
}  // namespace

// Qt deletes a posted event once it has been delivered, or with its receiver.
UpsMessageEvent::~UpsMessageEvent() {
    if (message() == WM_UPS_REFRESH) refreshWaiting.store(false, std::memory_order_release);
}

void SetUpsPostObserver(UpsPostObserver observer) { postObserver.store(observer); }

void PostUpsMessage(void* window, int message, uintptr_t wParam, intptr_t lParam) {
    if (UpsPostObserver observer = postObserver.load()) observer(message, wParam, lParam);
    if (!window) return;
    if (message == WM_UPS_REFRESH && refreshWaiting.exchange(true, std::memory_order_acq_rel)) return;
    QCoreApplication::postEvent(static_cast<QObject*>(window),
                                new UpsMessageEvent(message, wParam, lParam));
}
