// Notifications to the registered window. The core only knows that a message is posted; how it
// reaches a window is the port layer's poster, which must never block the link thread.
//
// Registering and posting take one lock, so once SendHwnd has replaced a window no post to it
// is still under way: a module may unregister its receiver from any thread and then free it.
// The poster only hands the message over (it never waits on the window), so holding the lock
// across it is short, and SendHwnd waits at most for one hand-over.
#include <atomic>
#include <mutex>

#include "link/link_core.h"

namespace {
std::mutex registrationMutex;
void* registeredWindow = nullptr;  // guarded by registrationMutex
std::atomic<LinkPoster> poster{nullptr};
}  // namespace

int SendHwnd(void* window) {
    std::lock_guard<std::mutex> lock(registrationMutex);
    registeredWindow = window;
    return 0;
}

void SetLinkPoster(LinkPoster p) { poster.store(p); }

void* RegisteredWindow(void) {
    std::lock_guard<std::mutex> lock(registrationMutex);
    return registeredWindow;
}

void PostToRegisteredWindow(int message, uintptr_t wParam, intptr_t lParam) {
    std::lock_guard<std::mutex> lock(registrationMutex);
    LinkPoster post = poster.load();
    if (registeredWindow && post) post(registeredWindow, message, wParam, lParam);
}
