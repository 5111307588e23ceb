#include "link/port/ups_event.h"

#include <QCoreApplication>
#include <QObject>

#include <atomic>

namespace {
std::atomic<UpsPostObserver> postObserver{nullptr};
}

void SetUpsPostObserver(UpsPostObserver observer) { postObserver.store(observer); }

void PostUpsMessage(void* window, int message, uintptr_t wParam, intptr_t lParam) {
    if (UpsPostObserver observer = postObserver.load()) observer(message, wParam, lParam);
    if (!window) return;
    QCoreApplication::postEvent(static_cast<QObject*>(window),
                                new UpsMessageEvent(message, wParam, lParam));
}
