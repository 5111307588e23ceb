#include <QCloseEvent>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QGuiApplication>
#include <QSystemTrayIcon>
#include <QDateTime>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "app/desktop/tray_notifier.h"
#include "app/desktop/tray_rules.h"
#include "support.h"
#include "tests/support/child_process.h"
#include "tests/support/files_and_waits.h"

#if __has_include(<X11/Xlib.h>)
#include <X11/Xlib.h>
#define VESPERO_HAVE_XLIB 1
#endif

namespace {

// No test reaches the desktop of whoever runs the suite (only the dunst cases get a bus, a
// private one), and the notification icon is written to scratch, not the user's cache.
const struct ScratchDesktop {
    QTemporaryDir cache;
    ScratchDesktop() {
        qputenv("XDG_CACHE_HOME", cache.path().toLocal8Bit());
        if (qEnvironmentVariableIsEmpty("VESPERO_DUNST_BUS"))
            qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    }
} scratchDesktop;

using C = TrayCondition;

TEST(TrayRules, StateTextsGiveTheirColour) {
    struct Case {
        const char* text;
        bool low;
        C condition;
    } cases[] = {
        {"On_Line", false, C::OnLine},
        {"On_Line ECO MODE ", false, C::OnLine},
        {"Bypass or Eco Mode", false, C::OnLine},
        {"On_Battery", false, C::OnBattery},
        {"Battery_Starting_PFC", false, C::OnBattery},
        {"On_Battery", true, C::Alarm},  // the battery gauge is red: low battery
        {"Stand_By", false, C::StandBy},
        {"Keyboard_Stop", false, C::StandBy},
        {"Starting_pre_PFC", false, C::StandBy},
        {"Low Battery Voltage", false, C::Alarm},
        {"Overload", false, C::Alarm},
        {"Emergency Power OFF", false, C::Alarm},
        {"Timeout", false, C::LinkLost},
        {"", false, C::StandBy},
        {"On_Line", true, C::OnLine},  // on line a low battery is the panel's business
    };
    for (const Case& c : cases)
        EXPECT_EQ(ClassifyState(QString::fromLatin1(c.text), c.low), c.condition) << c.text;
    EXPECT_EQ(ColourOf(C::OnLine), TrayColour::Green);
    EXPECT_EQ(ColourOf(C::OnBattery), TrayColour::Amber);
    EXPECT_EQ(ColourOf(C::StandBy), TrayColour::Amber);
    EXPECT_EQ(ColourOf(C::Alarm), TrayColour::Red);
    EXPECT_EQ(ColourOf(C::LinkLost), TrayColour::Red);
    EXPECT_EQ(NoteTitle({{C::LinkLost}, {C::OnLine}}), "UPS link back");
    EXPECT_EQ(NoteTitle({{C::OnLine}, {C::LinkLost}}), "UPS link lost");
    EXPECT_EQ(NoteTitle({{C::OnLine}, {C::OnBattery}}), "UPS on battery");
    // Alarms are told apart by their text; a low battery on battery is an alarm of its own.
    EXPECT_EQ(ClassifyEvent("CAN Fault", false), (TrayEvent{C::Alarm, "CAN Fault"}));
    EXPECT_EQ(ClassifyEvent("On_Battery", true), (TrayEvent{C::Alarm, "Low battery"}));
    EXPECT_EQ(ClassifyEvent("On_Battery", false), (TrayEvent{C::OnBattery, {}}));
    EXPECT_EQ(NoteTitle({{C::OnBattery}, ClassifyEvent("On_Battery", true)}), "UPS battery low");
    for (C c : {C::OnBattery, C::Alarm, C::LinkLost}) EXPECT_TRUE(IsCritical(c));
    for (C c : {C::OnLine, C::StandBy}) EXPECT_FALSE(IsCritical(c));
}

TEST(NotificationGate, CriticalEventsAtOnceEveryTimeOnlyFlappingAndCalmRepeatsFolded) {
    const TrayEvent lowVoltage{C::Alarm, "Low Battery Voltage"}, canFault{C::Alarm, "CAN Fault"};
    NotificationGate gate(C::OnLine, 30000);
    // Two different alarms two seconds apart: two notes.
    auto note = gate.Offer(lowVoltage, 0);
    ASSERT_TRUE(note);
    EXPECT_EQ(note->from, TrayEvent{C::OnLine});
    note = gate.Offer(canFault, 2000);
    ASSERT_TRUE(note);
    EXPECT_EQ(note->to, canFault);
    // Clearing a critical state is told at once (it replaces the standing note).
    note = gate.Offer(C::OnLine, 4000);
    ASSERT_TRUE(note);
    EXPECT_EQ(note->to.condition, C::OnLine);

    // The double power cut: on battery, back 4 s later, on battery again 12 s after the first
    // cut. Every change is told as it happens; the second cut is no repeat to hold.
    EXPECT_TRUE(gate.Offer(C::OnBattery, 20000));
    EXPECT_TRUE(gate.Offer(C::OnLine, 24000));
    note = gate.Offer(C::OnBattery, 32000);
    ASSERT_TRUE(note);
    EXPECT_EQ(note->to.condition, C::OnBattery);
    EXPECT_EQ(note->missed, 0);
    EXPECT_TRUE(gate.Offer(C::OnLine, 36000));
    EXPECT_FALSE(gate.NextDue());

    // Flapping: more than three changes within 10 s. The fourth and later are folded, and a
    // summary that counts the outages it folded follows 10 s after the first was held.
    EXPECT_TRUE(gate.Offer(C::OnBattery, 50000));
    EXPECT_TRUE(gate.Offer(C::OnLine, 51000));
    EXPECT_TRUE(gate.Offer(C::OnBattery, 52000));
    EXPECT_FALSE(gate.Offer(C::OnLine, 53000));
    EXPECT_EQ(gate.NextDue(), 63000);
    EXPECT_FALSE(gate.Offer(C::OnBattery, 54000));
    EXPECT_FALSE(gate.Offer(C::OnLine, 55000));
    EXPECT_FALSE(gate.Offer(C::OnBattery, 56000));
    EXPECT_FALSE(gate.Offer(C::OnLine, 57000));
    EXPECT_FALSE(gate.Due(62999));
    note = gate.Due(63000);
    ASSERT_TRUE(note);
    EXPECT_EQ(note->to.condition, C::OnLine);
    EXPECT_EQ(note->missed, 2);  // the outages at 54 and 56 s, which were never shown
    EXPECT_EQ(note->missedSince, 54000);
    EXPECT_EQ(note->worstMissed, C::OnBattery);

    // Calm again: a cut 20 s later is told at once.
    note = gate.Offer(C::OnBattery, 83000);
    ASSERT_TRUE(note);
    EXPECT_EQ(note->missed, 0);
    // A worse event is told at once even while flapping would fold a repeat.
    EXPECT_TRUE(gate.Offer(C::LinkLost, 84000));
    EXPECT_TRUE(gate.Offer(C::OnLine, 85000));

    // Non-critical repeats within 30 s of the last such note are held, then summed up.
    NotificationGate calm(C::OnLine, 30000);
    EXPECT_TRUE(calm.Offer(C::StandBy, 0));
    EXPECT_TRUE(calm.Offer(C::OnLine, 5000));
    EXPECT_FALSE(calm.Offer(C::StandBy, 20000));
    EXPECT_EQ(calm.NextDue(), 30000);
    EXPECT_TRUE(calm.Due(30000));
}

TEST(NotificationGate, AFoldedChangeThatLastsIsTheSummaryItself) {
    NotificationGate gate(C::OnLine, 30000);
    for (int64_t t = 0; t < 3000; t += 1000) ASSERT_TRUE(gate.Offer(t % 2000 ? C::OnLine : C::OnBattery, t));
    EXPECT_FALSE(gate.Offer(C::OnLine, 3000));  // the fourth change in 10 s: flapping, folded
    EXPECT_FALSE(gate.Due(12999));
    auto note = gate.Due(13000);
    ASSERT_TRUE(note);
    EXPECT_EQ(note->to.condition, C::OnLine);
    EXPECT_EQ(note->missed, 0);  // it is this very note, not one missed
    EXPECT_FALSE(gate.NextDue());
    // Calm again: the next cut is told at once.
    EXPECT_TRUE(gate.Offer(C::OnBattery, 30500));
}

// The documented figures, pinned here rather than read from the constants they document.
TEST(NotificationGate, TheDocumentedFiguresHold) {
    EXPECT_EQ(TrayNotifier::kMinGapMsecs, 30000);
    EXPECT_EQ(NotificationGate::kFlapChanges, 3);
    EXPECT_EQ(NotificationGate::kFlapWindowMsecs, 10000);
}

void SetState(_ZozeUps& u, const char* text, int vbattTenths = 480) {
    std::strcpy(u.stateText, text);
    u.status.currentUnits = 4;
    u.auxWordB[2] = uint16_t(vbattTenths);
}

// No notification of a test may reach the desktop of whoever runs it.
QDBusConnection NoBus() {
    return QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"), QStringLiteral("nobus"));
}

struct TrayFixture : PanelFixture {
    TrayNotifier tray{&frame, nullptr, NoBus()};
    int64_t now = 1'000'000;
    std::vector<DesktopNote> notes;
    std::vector<QString> titles;
    TrayFixture() {
        tray.SetClock([this] { return now; });
        tray.SetNoteSink([this](const DesktopNote& note) {
            notes.push_back(note);
            titles.push_back(note.title);
        });
        QObject::connect(view, &CAlderaView::Refreshed, &tray, &TrayNotifier::Update);
    }
    void Refresh(const char* text, int vbattTenths = 480) {
        EditDevice0([&](_ZozeUps& u) {
            u.status.powerUnits = 1;
            SetState(u, text, vbattTenths);
        });
        view->OnUpsRefresh();
    }
};

TEST(TrayNotifierPanel, FollowsRefreshesAndNotifiesChanges) {
    TrayFixture f;
    // Before the unit first answers, "Timeout" is not a lost link; finding it on line is quiet.
    f.Refresh("Timeout", 0);
    EXPECT_EQ(f.tray.colour(), TrayColour::Red);
    EXPECT_EQ(f.tray.toolTip(), "Vespero Monitor\nTimeout: no answer from the unit yet");
    f.Refresh("On_Line");
    EXPECT_TRUE(f.titles.empty());
    EXPECT_EQ(f.tray.colour(), TrayColour::Green);
    EXPECT_EQ(f.tray.toolTip(), "Vespero Monitor\nOn_Line\nV Batt 48.0 V");

    f.now += 60'000;
    f.Refresh("On_Battery", 430);
    EXPECT_EQ(f.tray.colour(), TrayColour::Amber);
    f.now += 60'000;
    f.Refresh("On_Battery", 419);  // below 10.5 V per block
    EXPECT_EQ(f.tray.colour(), TrayColour::Red);
    f.now += 60'000;
    const QString lostAt = QDateTime::fromMSecsSinceEpoch(f.now).toString("HH:mm:ss");
    f.Refresh("Timeout", 419);
    // Stale readings are not shown as live: the tooltip says since when the link is lost.
    EXPECT_EQ(f.tray.toolTip(), "Vespero Monitor\nLink lost since " + lostAt + " (Timeout)");
    f.now += 60'000;
    f.Refresh("Timeout", 419);
    EXPECT_EQ(f.tray.toolTip(), "Vespero Monitor\nLink lost since " + lostAt + " (Timeout)");
    f.now += 60'000;
    f.Refresh("On_Line");
    EXPECT_EQ(f.titles, (std::vector<QString>{"UPS on battery", "UPS battery low", "UPS link lost",
                                              "UPS link back"}));
    // Critical until the state clears; the bodies carry the state and the battery.
    ASSERT_EQ(f.notes.size(), 4u);
    EXPECT_TRUE(f.notes[0].critical && f.notes[1].critical && f.notes[2].critical);
    EXPECT_FALSE(f.notes[3].critical);
    EXPECT_EQ(f.notes[0].body, "On_Battery\nV Batt 43.0 V");
    EXPECT_TRUE(f.notes[2].body.contains(lostAt)) << f.notes[2].body.toStdString();
    EXPECT_FALSE(f.notes[2].body.contains("V Batt"));
    EXPECT_TRUE(f.notes[3].body.startsWith("On_Line\nV Batt 48.0 V\nNo answer from " + lostAt));
    // No notification service here: every note went to the fallback, none is standing.
    EXPECT_EQ(f.tray.desktop()->unanswered(), 0);
    EXPECT_EQ(f.tray.desktop()->standingId(), 0u);

    // Flapping every second after a quiet interval: the first outage and its end at once,
    // then the repeats are held and told, counted, when the interval ends.
    f.titles.clear();
    f.notes.clear();
    f.now += 30'000;
    for (int i = 0; i < 10; ++i) {
        f.now += 1000;
        f.Refresh(i % 2 ? "On_Line" : "On_Battery");
    }
    EXPECT_EQ(f.titles, (std::vector<QString>{"UPS on battery", "UPS on line", "UPS on battery"}));
    f.tray.ShowDue();
    EXPECT_EQ(f.titles.size(), 3u);  // not yet due
    f.now += 10'000;
    f.tray.ShowDue();
    ASSERT_EQ(f.titles, (std::vector<QString>{"UPS on battery", "UPS on line", "UPS on battery", "UPS on line"}));
    EXPECT_TRUE(f.notes[3].body.contains("Also 3 brief events since")) << f.notes[3].body.toStdString();
}

TEST(DesktopNotifications, WithoutAServiceEveryNoteGoesToTheFallbackInOrder) {
    DesktopNotifications desktop(NoBus());
    std::vector<QString> fallen;
    int answered = 0;
    desktop.SetFallback([&](const DesktopNote& note) { fallen.push_back(note.title); });
    QObject::connect(&desktop, &DesktopNotifications::Answered, [&](bool delivered) {
        EXPECT_FALSE(delivered);
        ++answered;
    });
    desktop.Show({"one", "", true});
    desktop.Show({"two", "", false});
    EXPECT_EQ(fallen, (std::vector<QString>{"one", "two"}));
    EXPECT_EQ(answered, 2);
    // The icon is a file the server can read.
    EXPECT_TRUE(QFile::exists(desktop.iconPath())) << desktop.iconPath().toStdString();
}

TEST(TrayNotifierPanel, CloseToTrayIsOffByDefaultAndKeptInTheProgramsOwnSettings) {
    PanelFixture f;
    TrayNotifier tray(&f.frame, nullptr, NoBus());
    EXPECT_FALSE(tray.closeToTray());
    tray.SetCloseToTray(true);
    EXPECT_TRUE(TrayNotifier(&f.frame, nullptr, NoBus()).closeToTray());
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    EXPECT_TRUE(QSettings(QStringLiteral("Orbo"), QStringLiteral("Vespero")).value("Tray/CloseToTray").toBool());
    // The link's settings file is not touched.
    EXPECT_FALSE(QFile::exists(config + "/Tralvane/Ups.ini") &&
                 QSettings(config + "/Tralvane/Ups.ini", QSettings::IniFormat).allKeys().contains("Tray/CloseToTray"));
    tray.SetCloseToTray(false);
    EXPECT_FALSE(TrayNotifier(&f.frame, nullptr, NoBus()).closeToTray());
}

// The unit's status reply says 40 V on a 48 V string while its auxiliary answer has not caught up:
// the window tells low battery at once and critically, as the service raises LB from the same rule.
TEST(TrayNotifierPanel, EitherBatteryVoltageWordBelowTheEndVoltageIsALowBatteryNote) {
    TrayFixture f;
    f.Refresh("On_Line", 540);
    f.now += 60'000;
    EditDevice0([&](_ZozeUps& u) {
        std::strcpy(u.stateText, "On_Battery");
        u.status.stateCode = 18;
        u.status.batteryVoltage = 40.0;
        u.auxWordB[2] = 540;
    });
    f.view->OnUpsRefresh();
    ASSERT_FALSE(f.notes.empty());
    EXPECT_EQ(f.titles.back(), "UPS battery low");
    EXPECT_TRUE(f.notes.back().critical);
    EXPECT_EQ(f.tray.colour(), TrayColour::Red);
}

// A second power cut soon after the first is when the user must act: both cuts are told as the
// refreshes bring them, critical, with nothing left waiting for a timer.
TEST(TrayNotifierPanel, ADoublePowerCutGivesTwoCriticalNotesEachAtItsCut) {
    TrayFixture f;
    f.Refresh("On_Line", 540);
    f.now += 60'000;
    f.Refresh("On_Battery", 500);
    f.now += 4'000;
    f.Refresh("On_Line", 540);
    f.now += 8'000;
    f.Refresh("On_Battery", 500);
    ASSERT_EQ(f.titles, (std::vector<QString>{"UPS on battery", "UPS on line", "UPS on battery"}));
    EXPECT_TRUE(f.notes[0].critical && f.notes[2].critical);
    EXPECT_EQ(f.notes[2].body, "On_Battery\nV Batt 50.0 V");  // nothing folded into it
}

// Whether the tray icon's own X window has been taken in by a tray (its parent is no longer the
// root window). Qt draws an XEmbed tray icon in a top-level widget of its own.
bool IconEmbedded() {
#ifdef VESPERO_HAVE_XLIB
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (qstrcmp(w->metaObject()->className(), "QSystemTrayIconSys") != 0 || !w->isVisible()) continue;
        Display* display = XOpenDisplay(nullptr);
        if (!display) return false;
        Window root = 0, parent = 0, *children = nullptr;
        unsigned count = 0;
        const bool ok = XQueryTree(display, Window(w->winId()), &root, &parent, &children, &count);
        if (children) XFree(children);
        XCloseDisplay(display);
        return ok && parent != root;
    }
    return false;
#else
    return true;  // only the icon's geometry can be checked
#endif
}

// A real tray (trayer, an XEmbed tray) started after the monitor on a virtual X display: the icon
// shows up in it. Without a tray, closing the window never hides it, whatever the setting.
// A window that counts the closes it took (those not turned into a hide to the tray).
struct CountingWindow : QWidget {
    int closed = 0;
    void closeEvent(QCloseEvent* event) override {
        ++closed;
        QWidget::closeEvent(event);
    }
};

// Asks the window to close as a window manager does (WM_DELETE_WINDOW), and waits until it has
// either closed or been hidden.
bool CloseFromWindowManager(CountingWindow& window) {
#ifdef VESPERO_HAVE_XLIB
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = Window(window.winId());
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, Window(window.winId()), False, NoEventMask, &event);
    XCloseDisplay(display);
    return testsupport::WaitFor([&] { return !window.isVisible(); }, 10000);
#else
    (void)window;
    return false;
#endif
}

// A real tray (trayer, an XEmbed tray) started after the monitor on a virtual X display: the icon
// shows up in it. The window's close button hides it to the tray only while a tray is there.
TEST(TrayX11, IconAppearsInATrayStartedLaterAndCloseToTrayNeedsOne) {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) GTEST_SKIP() << "needs X11";
#ifndef VESPERO_HAVE_XLIB
    GTEST_SKIP() << "needs Xlib to act as the window manager";
#endif
    const QString trayer = QStringLiteral("/usr/bin/trayer");
    if (!QFile::exists(trayer)) GTEST_SKIP() << "trayer is not installed";
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "the display already has a tray";
    CountingWindow window;
    window.show();
    TrayNotifier tray(&window, nullptr, NoBus());
    tray.SetCloseToTray(true);
    EXPECT_EQ(tray.trayIcon(), nullptr);
    ASSERT_TRUE(CloseFromWindowManager(window));
    EXPECT_EQ(window.closed, 1) << "hidden to a tray that is not there";
    window.show();

    QTemporaryDir dir;
    const pid_t pid = testsupport::Spawn(trayer, {}, dir.filePath("trayer.err"));
    ASSERT_GT(pid, 0);
    const bool shown = testsupport::WaitFor(
        [&] { return tray.trayIcon() && tray.trayIcon()->geometry().isValid() && IconEmbedded(); },
        10 * TrayNotifier::kTrayCheckMsecs);
    EXPECT_TRUE(shown) << testsupport::ReadAll(dir.filePath("trayer.err")).toStdString();
    if (shown) {
        EXPECT_TRUE(tray.trayIcon()->isVisible());
        EXPECT_FALSE(QGuiApplication::quitOnLastWindowClosed());
        ASSERT_TRUE(CloseFromWindowManager(window));
        EXPECT_EQ(window.closed, 1) << "closed although the tray could bring it back";
        window.show();
    }

    // The tray goes: the close button closes again.
    testsupport::Terminate(pid);
    ASSERT_TRUE(testsupport::WaitFor([] { return !QSystemTrayIcon::isSystemTrayAvailable(); }, 10000));
    ASSERT_TRUE(CloseFromWindowManager(window));
    EXPECT_EQ(window.closed, 2);
    tray.SetCloseToTray(false);
    QGuiApplication::setQuitOnLastWindowClosed(true);
}

}  // namespace
