// The CAP/NUM/SCRL panes: blank where the platform cannot tell the lock keys' state; the
// system's state on X11 (the X11 cases run under xvfb-run, see CMakeLists.txt).
#include <QTest>
#include <gtest/gtest.h>

#include "support.h"

#if __has_include(<X11/XKBlib.h>)
#define HAVE_XLIB 1
#include <X11/XKBlib.h>
#include <X11/keysym.h>
#endif

namespace {

QStringList Panes(const CMainFrame& frame) {
    return {frame.Indicator(59137)->text(), frame.Indicator(59138)->text(), frame.Indicator(59139)->text()};
}

TEST(LockKeys, BlankWhereThePlatformCannotTellAndKeysDoNotFlipThem) {
    if (QGuiApplication::platformName() == QLatin1String("xcb")) GTEST_SKIP() << "X11 reads the state";
    CMainFrame frame;
    frame.show();
    EXPECT_EQ(Panes(frame), (QStringList{"", "", ""}));
    for (Qt::Key key : {Qt::Key_CapsLock, Qt::Key_NumLock, Qt::Key_ScrollLock})
        QTest::keyClick(frame.windowHandle(), key);
    frame.UpdateIndicators();
    EXPECT_EQ(Panes(frame), (QStringList{"", "", ""}));
}

#ifdef HAVE_XLIB
// Another client of the same display locks and unlocks Caps Lock and Num Lock, as a key press
// in another window would.
struct OtherClient {
    Display* display = XOpenDisplay(nullptr);
    ~OtherClient() {
        if (!display) return;
        Lock(LockMask | NumMask(), false);
        XCloseDisplay(display);
    }
    unsigned NumMask() const { return XkbKeysymToModifiers(display, XK_Num_Lock); }
    void Lock(unsigned mask, bool on) {
        XkbLockModifiers(display, XkbUseCoreKbd, mask, on ? mask : 0);
        XSync(display, False);
    }
};

TEST(LockKeysX11, PanesFollowTheSystemStateAtStartAndAfterChangesElsewhere) {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) GTEST_SKIP() << "needs X11";
    OtherClient other;
    ASSERT_NE(other.display, nullptr);
    ASSERT_NE(other.NumMask(), 0u);
    other.Lock(LockMask | other.NumMask(), false);
    other.Lock(LockMask, true);

    CMainFrame frame;
    frame.show();
    EXPECT_EQ(Panes(frame), (QStringList{"CAP", "", ""})) << "the state at start";

    other.Lock(LockMask, false);
    other.Lock(other.NumMask(), true);
    // The frame looks again by itself, within its slow poll.
    QTRY_COMPARE_WITH_TIMEOUT(frame.Indicator(59138)->text(), QString("NUM"), 10000);
    EXPECT_EQ(Panes(frame), (QStringList{"", "NUM", ""}));
}
#endif

}  // namespace
