#include "app/lock_keys.h"

#include <QGuiApplication>

#if defined(Q_OS_WIN)
#include <windows.h>
#elif QT_CONFIG(xcb) && __has_include(<X11/XKBlib.h>)
#define VESPERO_XKB 1
#include <X11/XKBlib.h>  // declarations only: libX11 is loaded when the platform is X11
#include <dlfcn.h>
#endif

#ifdef VESPERO_XKB
// The indicators are found by name, as the keymap may place them at any index.
struct LockKeyReader::Xkb {
    void* library = nullptr;
    Display* display = nullptr;
    decltype(&XkbGetIndicatorState) getState = nullptr;
    unsigned caps = 0, num = 0, scroll = 0;  // each indicator's bit, 0 when the keymap lacks it

    ~Xkb() {
        if (library) dlclose(library);
    }

    bool Open() {
        if (QGuiApplication::platformName() != QLatin1String("xcb")) return false;
        auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
        display = x11 ? x11->display() : nullptr;
        if (!display) return false;
        library = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
        if (!library) return false;
        auto internAtom = reinterpret_cast<decltype(&XInternAtom)>(dlsym(library, "XInternAtom"));
        auto namedIndicator =
            reinterpret_cast<decltype(&XkbGetNamedIndicator)>(dlsym(library, "XkbGetNamedIndicator"));
        getState = reinterpret_cast<decltype(&XkbGetIndicatorState)>(dlsym(library, "XkbGetIndicatorState"));
        if (!internAtom || !namedIndicator || !getState) return false;
        auto bitOf = [&](const char* name) -> unsigned {
            const Atom atom = internAtom(display, name, True);
            int index = -1;
            if (atom == None || !namedIndicator(display, atom, &index, nullptr, nullptr, nullptr))
                return 0;
            return index >= 0 && index < 32 ? 1u << index : 0;
        };
        caps = bitOf("Caps Lock");
        num = bitOf("Num Lock");
        scroll = bitOf("Scroll Lock");
        return caps || num || scroll;
    }

    std::optional<LockKeyState> Read() const {
        unsigned state = 0;
        if (getState(display, XkbUseCoreKbd, &state) != Success) return std::nullopt;
        return LockKeyState{(state & caps) != 0, (state & num) != 0, (state & scroll) != 0};
    }
};
#else
struct LockKeyReader::Xkb {};
#endif

LockKeyReader::LockKeyReader() {
#ifdef VESPERO_XKB
    auto xkb = std::make_unique<Xkb>();
    if (xkb->Open()) xkb_ = std::move(xkb);
#endif
}

LockKeyReader::~LockKeyReader() = default;

bool LockKeyReader::Available() const {
#if defined(Q_OS_WIN)
    return true;
#else
    return xkb_ != nullptr;
#endif
}

std::optional<LockKeyState> LockKeyReader::Read() const {
#if defined(Q_OS_WIN)
    // The low bit is the key's toggle state.
    return LockKeyState{(GetKeyState(VK_CAPITAL) & 1) != 0, (GetKeyState(VK_NUMLOCK) & 1) != 0,
                        (GetKeyState(VK_SCROLL) & 1) != 0};
#elif defined(VESPERO_XKB)
    if (!xkb_) return std::nullopt;
    return xkb_->Read();
#else
    return std::nullopt;
#endif
}
