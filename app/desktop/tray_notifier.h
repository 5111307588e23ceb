// The monitor in the desktop's tray: an icon in the colour of the unit's state, a tooltip with
// the state and the battery, notifications of state changes (through the desktop's notification
// service, the tray's balloon only where no service answers), and (a setting, off by default)
// closing the window to the tray.
#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <functional>

#include "app/desktop/battery_figures.h"
#include "app/desktop/desktop_notifications.h"
#include "app/desktop/tray_rules.h"
#include "link/ups_link.h"

class QAction;
class QSystemTrayIcon;
class QTimer;
class QWidget;

class TrayNotifier : public QObject {
    Q_OBJECT
public:
    // Repeats of one kind of event: at most one notification per interval of this length.
    static constexpr int64_t kMinGapMsecs = 30000;
    // Without a tray at start, how often an X11 tray is looked for.
    static constexpr int kTrayCheckMsecs = 2000;

    // window: the main window the tray shows, hides and closes. The tray icon itself exists
    // once the desktop has a tray, at start or later; the rules and the notifications run
    // either way.
    // bus: where the notification service is looked for.
    explicit TrayNotifier(QWidget* window, QObject* parent = nullptr,
                          const QDBusConnection& bus = QDBusConnection::sessionBus());
    ~TrayNotifier() override;

    // Each refresh of the panel.
    void Update(const _ZozeUps& ups);

    TrayColour colour() const { return colour_; }
    QString toolTip() const { return toolTip_; }
    QSystemTrayIcon* trayIcon() const { return tray_; }
    static QIcon IconFor(TrayColour colour);

    // Kept in the program's own settings, not the link's.
    bool closeToTray() const;
    void SetCloseToTray(bool on);

    // Tests: where the time comes from (milliseconds), and where notifications go.
    using Clock = std::function<int64_t()>;
    void SetClock(Clock clock) { clock_ = std::move(clock); }
    using NoteSink = std::function<void(const DesktopNote& note)>;
    void SetNoteSink(NoteSink sink) { sink_ = std::move(sink); }
    DesktopNotifications* desktop() const { return desktop_; }
    // The held notification, when its interval has ended (the timer calls it too).
    void ShowDue();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int64_t Now() const;
    void Notify(const TrayNote& note);
    void ShowBalloon(const DesktopNote& note);
    void ArmTimer();
    QString TimeText(int64_t msecs) const;
    // Makes the icon once a tray is there; true when it exists.
    bool MakeIconIfTrayPresent();

    QWidget* window_;
    QSystemTrayIcon* tray_ = nullptr;
    QTimer* trayCheck_ = nullptr;  // runs only while there is no icon
    QAction* closeToTrayAction_ = nullptr;
    QTimer* dueTimer_;
    DesktopNotifications* desktop_;
    QDBusConnection bus_;
    NotificationGate gate_{TrayCondition::OnLine, kMinGapMsecs};
    bool linked_ = false;      // the unit has answered at least once
    bool voltsSeen_ = false;   // and reported its battery voltage
    int64_t lostSince_ = 0;    // the link's present outage began; 0 while it answers
    int64_t lastLost_ = 0;     // the last outage began, for the note that it is over
    BatteryFigures figures_;
    TrayColour colour_ = TrayColour::Red;
    QString toolTip_;
    QString stateName_;
    Clock clock_;
    NoteSink sink_;
};
