// Notifications to the registered window. The core only knows that a message is posted; how it
// reaches a window is the port layer's poster, which must never block the link thread.
#include <atomic>

#include "link/link_core.h"

namespace {
std::atomic<void*> registeredWindow{nullptr};
std::atomic<LinkPoster> poster{nullptr};
}  // namespace

int SendHwnd(void* window) {
    registeredWindow.store(window);
    return 0;
}

void SetLinkPoster(LinkPoster p) { poster.store(p); }

void* RegisteredWindow(void) { return registeredWindow.load(); }

void PostToRegisteredWindow(int message, uintptr_t wParam, intptr_t lParam) {
    void* window = registeredWindow.load();
    LinkPoster post = poster.load();
    if (window && post) post(window, message, wParam, lParam);
}
