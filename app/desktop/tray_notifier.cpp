#include "app/desktop/tray_notifier.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QDateTime>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSettings>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <algorithm>

#include "app/state_presentation.h"

namespace {
const char kCloseToTrayKey[] = "Tray/CloseToTray";

QSettings AppSettings() { return QSettings(QStringLiteral("Orbo"), QStringLiteral("Vespero")); }

QColor Fill(TrayColour colour) {
    switch (colour) {
    case TrayColour::Green: return QColor(0, 200, 0);
    case TrayColour::Amber: return QColor(255, 176, 0);
    case TrayColour::Red: return QColor(230, 0, 0);
    }
    return Qt::gray;
}
}  // namespace

TrayNotifier::TrayNotifier(QWidget* window, QObject* parent, const QDBusConnection& bus)
    : QObject(parent), window_(window), dueTimer_(new QTimer(this)),
      desktop_(new DesktopNotifications(bus, this)), bus_(bus) {
    dueTimer_->setSingleShot(true);
    connect(dueTimer_, &QTimer::timeout, this, &TrayNotifier::ShowDue);
    desktop_->SetFallback([this](const DesktopNote& note) { ShowBalloon(note); });
    connect(desktop_, &DesktopNotifications::Activated, this, [this] {
        if (!window_) return;
        window_->showNormal();
        window_->raise();
        window_->activateWindow();
    });
    stateName_ = QStringLiteral("Timeout");
    toolTip_ = QStringLiteral("Vespero Monitor\nTimeout: no answer from the unit yet");

    // A tray may come after the monitor (a panel started later, or restarted): until one is there
    // the monitor looks for it now and then, and when a StatusNotifierItem host appears.
    if (!MakeIconIfTrayPresent()) {
        if (QGuiApplication::platformName() == QLatin1String("xcb")) {
            trayCheck_ = new QTimer(this);
            trayCheck_->setInterval(kTrayCheckMsecs);
            connect(trayCheck_, &QTimer::timeout, this, &TrayNotifier::MakeIconIfTrayPresent);
            trayCheck_->start();
        }
        auto* hosts = new QDBusServiceWatcher(QStringLiteral("org.kde.StatusNotifierWatcher"), bus,
                                              QDBusServiceWatcher::WatchForRegistration, this);
        connect(hosts, &QDBusServiceWatcher::serviceRegistered, this, &TrayNotifier::MakeIconIfTrayPresent);
    }
    if (window_) window_->installEventFilter(this);
}

namespace {
bool TrayPresent(const QDBusConnection& bus) {
    if (QGuiApplication::platformName() == QLatin1String("xcb")) return QSystemTrayIcon::isSystemTrayAvailable();
    // Elsewhere only a StatusNotifierItem host can take the icon. Qt decides once whether to use
    // one and keeps that answer: it is not asked before a host is there.
    QDBusConnectionInterface* names = bus.interface();
    if (!names || !names->isServiceRegistered(QStringLiteral("org.kde.StatusNotifierWatcher")).value()) return false;
    return QSystemTrayIcon::isSystemTrayAvailable();
}
}  // namespace

bool TrayNotifier::MakeIconIfTrayPresent() {
    if (tray_) return true;
    if (!TrayPresent(bus_)) return false;
    if (trayCheck_) trayCheck_->stop();
    tray_ = new QSystemTrayIcon(IconFor(colour_), this);
    tray_->setToolTip(toolTip_);
    auto* menu = new QMenu(window_);
    menu->addAction(QStringLiteral("Show Vespero Monitor"), window_, [this] {
        window_->showNormal();
        window_->raise();
        window_->activateWindow();
    });
    closeToTrayAction_ = menu->addAction(QStringLiteral("Close to tray"));
    closeToTrayAction_->setCheckable(true);
    closeToTrayAction_->setChecked(closeToTray());
    connect(closeToTrayAction_, &QAction::toggled, this, &TrayNotifier::SetCloseToTray);
    menu->addSeparator();
    menu->addAction(QStringLiteral("Exit"), window_, &QWidget::close);
    tray_->setContextMenu(menu);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r != QSystemTrayIcon::Trigger) return;
        if (window_->isVisible() && !window_->isMinimized()) {
            window_->hide();
        } else {
            window_->showNormal();
            window_->activateWindow();
        }
    });
    tray_->show();
    // With the main window in the tray, closing the trend window must not end the program;
    // the main window's own close still does.
    QApplication::setQuitOnLastWindowClosed(false);
    return true;
}

TrayNotifier::~TrayNotifier() {
    if (window_) window_->removeEventFilter(this);
}

QIcon TrayNotifier::IconFor(TrayColour colour) {
    QIcon icon;
    for (int size : {16, 22, 32, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        const qreal pen = std::max(1.0, size / 16.0);
        p.setPen(QPen(QColor(40, 40, 40), pen));
        p.setBrush(Fill(colour));
        p.drawEllipse(QRectF(pen / 2, pen / 2, size - pen, size - pen));
        // A "V" in the middle: the program's mark, readable on every fill.
        QFont font = p.font();
        font.setBold(true);
        font.setPixelSize(std::max(8, size * 5 / 8));
        p.setFont(font);
        p.setPen(QColor(20, 20, 20));
        p.drawText(QRect(0, 0, size, size), Qt::AlignCenter, QStringLiteral("V"));
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

int64_t TrayNotifier::Now() const {
    return clock_ ? clock_() : QDateTime::currentMSecsSinceEpoch();
}

QString TrayNotifier::TimeText(int64_t msecs) const {
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(msecs);
    // The date only when it is not today's.
    if (at.date() == QDateTime::fromMSecsSinceEpoch(Now()).date())
        return at.toString(QStringLiteral("HH:mm:ss"));
    return at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

void TrayNotifier::Update(const _ZozeUps& ups) {
    stateName_ = CaptionText(ups.stateText, ups.status.flags12).trimmed();
    const TrayEvent event = ClassifyEvent(stateName_, BatteryLowOf(ups));
    const bool lost = event.condition == TrayCondition::LinkLost;
    if (!lost) linked_ = true;
    if (lost && linked_ && !lostSince_) lostSince_ = lastLost_ = Now();
    if (!lost) lostSince_ = 0;
    if (!lost) {
        figures_ = BatteryFiguresOf(ups, voltsSeen_);
        voltsSeen_ = voltsSeen_ || figures_.volts.has_value();
    }

    const TrayColour colour = ColourOf(event.condition);
    // While the link is lost the record holds the last readings: old news, not shown as live.
    QString tip;
    if (!linked_) {
        tip = QStringLiteral("Vespero Monitor\nTimeout: no answer from the unit yet");
    } else if (lost) {
        tip = QStringLiteral("Vespero Monitor\nLink lost since %1 (Timeout)").arg(TimeText(lostSince_));
    } else {
        tip = QStringLiteral("Vespero Monitor\n") + stateName_;
        const QString battery = BatteryLine(figures_);
        if (!battery.isEmpty()) tip += QLatin1Char('\n') + battery;
    }
    if (tray_ && colour != colour_) tray_->setIcon(IconFor(colour));
    if (tray_ && tip != toolTip_) tray_->setToolTip(tip);
    colour_ = colour;
    toolTip_ = tip;

    // Until the unit first answers, "Timeout" means "not yet", not "lost"; a unit found on
    // line is what the user expects, anything else is worth telling.
    if (!linked_) return;
    if (auto note = gate_.Offer(event, Now())) Notify(*note);
    ArmTimer();
}

void TrayNotifier::ShowDue() {
    if (auto note = gate_.Due(Now())) Notify(*note);
    ArmTimer();
}

void TrayNotifier::ArmTimer() {
    const auto due = gate_.NextDue();
    if (!due) {
        dueTimer_->stop();
        return;
    }
    const int64_t wait = std::clamp<int64_t>(*due - Now(), 0, kMinGapMsecs);
    if (!dueTimer_->isActive()) dueTimer_->start(int(wait));
}

void TrayNotifier::Notify(const TrayNote& note) {
    DesktopNote out;
    out.title = NoteTitle(note);
    out.critical = IsCritical(note.to.condition);
    QStringList lines;
    if (note.to.condition == TrayCondition::LinkLost) {
        lines << QStringLiteral("The unit does not answer (Timeout) since %1.").arg(TimeText(lastLost_))
              << QStringLiteral("No readings until it answers again.");
    } else {
        lines << stateName_;
        const QString battery = BatteryLine(figures_);
        if (!battery.isEmpty()) lines << battery;
        if (note.from.condition == TrayCondition::LinkLost && lastLost_)
            lines << QStringLiteral("No answer from %1 to %2.").arg(TimeText(lastLost_), TimeText(Now()));
    }
    if (note.missed) {
        const char* what = note.worstMissed == TrayCondition::OnBattery ? "on battery"
                           : note.worstMissed == TrayCondition::LinkLost ? "link lost"
                                                                         : "alarm";
        lines << QStringLiteral("Also %1 brief event%2 since %3 (worst: %4).")
                     .arg(note.missed)
                     .arg(note.missed == 1 ? "" : "s")
                     .arg(TimeText(note.missedSince), QLatin1String(what));
    }
    out.body = lines.join(QLatin1Char('\n'));
    if (sink_) sink_(out);
    desktop_->Show(out);
}

void TrayNotifier::ShowBalloon(const DesktopNote& note) {
    if (!tray_) return;
    tray_->showMessage(note.title, note.body,
                       note.critical ? QSystemTrayIcon::Warning : QSystemTrayIcon::Information,
                       note.critical ? 0 : 10000);
}

bool TrayNotifier::closeToTray() const {
    return AppSettings().value(QLatin1String(kCloseToTrayKey), false).toBool();
}

void TrayNotifier::SetCloseToTray(bool on) {
    AppSettings().setValue(QLatin1String(kCloseToTrayKey), on);
    if (closeToTrayAction_ && closeToTrayAction_->isChecked() != on) closeToTrayAction_->setChecked(on);
}

bool TrayNotifier::eventFilter(QObject* watched, QEvent* event) {
    // Only the window manager's close goes to the tray; "Exit" still ends the program. Without
    // a tray to come back from, the window is never hidden.
    if (watched == window_ && event->type() == QEvent::Close && event->spontaneous() && tray_ &&
        tray_->isVisible() && QSystemTrayIcon::isSystemTrayAvailable() && closeToTray()) {
        event->ignore();
        window_->hide();
        return true;
    }
    return QObject::eventFilter(watched, event);
}
