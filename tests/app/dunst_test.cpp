// Desktop notifications against a real server: dunst on a private session bus, watched by
// dbus-monitor. Run by run_with_dunst.sh, which sets up the bus and the display.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <functional>

#include "app/desktop/desktop_notifications.h"
#include "app/desktop/tray_notifier.h"
#include "support.h"

namespace {

bool WaitFor(const std::function<bool()>& done, int ms = 30000) {
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// One Notify call as dbus-monitor printed it.
struct SeenNotify {
    uint replacesId = 0;
    QString appIcon, summary, body;
    int urgency = -1;
    int expire = -2;
    QString desktopEntry, imagePath;
};

std::vector<SeenNotify> ParseNotifies(const QString& text) {
    std::vector<SeenNotify> calls;
    // Each message starts with its kind; a string argument may run over several lines.
    static const QRegularExpression start(QStringLiteral("\n(?=(?:method call|method return|signal|error) )"));
    static const QRegularExpression value(QStringLiteral("\\b(?:string|uint32|int32|byte) (?:\"([^\"]*)\"|(-?\\d+))"));
    for (const QString& block : text.split(start)) {
        if (!block.startsWith(QLatin1String("method call")) || !block.contains(QLatin1String("member=Notify")))
            continue;
        QStringList values;  // the typed values, in order; dict keys and values included
        auto it = value.globalMatch(block.mid(block.indexOf(QLatin1Char('\n'))));
        while (it.hasNext()) {
            const auto m = it.next();
            values << (m.capturedStart(1) >= 0 ? m.captured(1) : m.captured(2));
        }
        SeenNotify n;
        if (values.size() < 6) continue;
        n.replacesId = values[1].toUInt();
        n.appIcon = values[2];
        n.summary = values[3];
        n.body = values[4];
        for (int i = 5; i + 1 < values.size(); ++i) {
            if (values[i] == QLatin1String("urgency")) n.urgency = values[i + 1].toInt();
            if (values[i] == QLatin1String("desktop-entry")) n.desktopEntry = values[i + 1];
            if (values[i] == QLatin1String("image-path")) n.imagePath = values[i + 1];
        }
        n.expire = values.last().toInt();
        calls.push_back(n);
    }
    return calls;
}

class Child {
public:
    explicit Child(const QString& program, const QStringList& args) {
        process.setProgram(program);
        process.setArguments(args);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start();
    }
    ~Child() {
        process.terminate();
        if (!process.waitForFinished(5000)) process.kill();
        process.waitForFinished(5000);
    }
    QProcess process;
};

TEST(DunstNotifications, ReachTheServerCriticalUntilClearedEachReplacingTheLast) {
    if (qEnvironmentVariableIsEmpty("VESPERO_DUNST_BUS"))
        GTEST_SKIP() << "runs under run_with_dunst.sh (ctest: DunstNotifications.OnAPrivateBus)";
    QDBusConnection bus = QDBusConnection::sessionBus();
    ASSERT_TRUE(bus.isConnected());

    // A bus without a notification service: the note falls back to the tray (none here).
    {
        DesktopNotifications desktop(bus);
        int fallen = 0;
        bool delivered = true;
        desktop.SetFallback([&](const DesktopNote&) { ++fallen; });
        QObject::connect(&desktop, &DesktopNotifications::Answered, [&](bool d) { delivered = d; });
        desktop.Show({"nobody listens", "", true});
        ASSERT_TRUE(WaitFor([&] { return desktop.unanswered() == 0; }));
        EXPECT_FALSE(delivered);
        EXPECT_EQ(fallen, 1);
    }

    Child monitor(QStringLiteral("dbus-monitor"),
                  {QStringLiteral("--session"),
                   QStringLiteral("type='method_call',interface='org.freedesktop.Notifications'")});
    Child dunst(QStringLiteral("dunst"), {});
    ASSERT_TRUE(WaitFor([&] {
        return bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.Notifications")).value();
    })) << dunst.process.readAll().toStdString();

    // The unit on line, on battery, two alarms and back, a few seconds apart.
    PanelFixture f;
    TrayNotifier tray(&f.frame, nullptr, bus);
    int64_t now = 1'000'000;
    tray.SetClock([&now] { return now; });
    int fallen = 0, delivered = 0;
    std::vector<uint> ids;
    tray.desktop()->SetFallback([&](const DesktopNote&) { ++fallen; });
    QObject::connect(tray.desktop(), &DesktopNotifications::Answered, [&](bool d) {
        delivered += d;
        ids.push_back(tray.desktop()->standingId());
    });
    QObject::connect(f.view, &CAlderaView::Refreshed, &tray, &TrayNotifier::Update);
    auto refresh = [&](const char* state, int vbattTenths) {
        EditDevice0([&](_ZozeUps& u) {
            u.status.powerUnits = 1;
            u.status.currentUnits = 4;
            std::strcpy(u.stateText, state);
            u.auxWordB[2] = vbattTenths;
        });
        f.view->OnUpsRefresh();
        now += 2000;
    };
    refresh("On_Line", 540);
    refresh("On_Battery", 470);
    refresh("Low Battery Voltage", 440);
    refresh("CAN Fault", 440);
    refresh("On_Line", 520);
    ASSERT_TRUE(WaitFor([&] { return tray.desktop()->unanswered() == 0; }));
    EXPECT_EQ(delivered, 4);
    EXPECT_EQ(fallen, 0);

    std::vector<SeenNotify> calls;
    QByteArray seen;
    ASSERT_TRUE(WaitFor([&] {
        seen += monitor.process.readAll();
        calls = ParseNotifies(QString::fromUtf8(seen));
        return calls.size() >= 4;
    }, 10000)) << "dbus-monitor saw " << calls.size() << " Notify calls:\n" << seen.toStdString();
    ASSERT_EQ(calls.size(), 4u);
    const char* summaries[] = {"UPS on battery", "UPS alarm", "UPS alarm", "UPS on line"};
    for (size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(calls[i].summary, summaries[i]);
        EXPECT_EQ(calls[i].urgency, i < 3 ? 2 : 1);
        EXPECT_EQ(calls[i].expire, i < 3 ? 0 : -1);  // critical ones stay until dismissed
        EXPECT_EQ(calls[i].desktopEntry, "vespero");
        EXPECT_TRUE(calls[i].imagePath.startsWith("file:///")) << calls[i].imagePath.toStdString();
        EXPECT_EQ(calls[i].replacesId, i == 0 ? 0u : ids[i - 1]);
    }
    EXPECT_TRUE(calls[0].body.contains("V Batt 47.0 V")) << calls[0].body.toStdString();
    EXPECT_TRUE(calls[2].body.startsWith("CAN Fault"));
    EXPECT_NE(ids[0], 0u);

    // dunst holds one note of ours: each replaced the last.
    QProcess count;
    count.start(QStringLiteral("dunstctl"), {QStringLiteral("count"), QStringLiteral("displayed")});
    ASSERT_TRUE(count.waitForFinished(10000));
    EXPECT_EQ(count.readAll().trimmed(), "1");
}

}  // namespace
