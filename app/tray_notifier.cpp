#include "app/tray_notifier.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSettings>
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

TrayNotifier::TrayNotifier(QWidget* window, QObject* parent)
    : QObject(parent), window_(window), dueTimer_(new QTimer(this)) {
    dueTimer_->setSingleShot(true);
    connect(dueTimer_, &QTimer::timeout, this, &TrayNotifier::ShowDue);
    stateName_ = QStringLiteral("Timeout");
    toolTip_ = QStringLiteral("Vespero Monitor\nTimeout");

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
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
    }
    if (window_) window_->installEventFilter(this);
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

void TrayNotifier::Update(const _ZozeUps& ups) {
    stateName_ = CaptionText(ups.stateText, ups.status.flags12).trimmed();
    // The panel's rule for a red battery gauge.
    const double vbatt = ups.auxWordB[2] / 10.0;
    const bool batteryLow = vbatt < 10.5 * ups.status.currentUnits;
    const TrayCondition condition = ClassifyState(stateName_, batteryLow);

    const TrayColour colour = ColourOf(condition);
    const QString tip = QStringLiteral("Vespero Monitor\n%1\nV Batt %2 V")
                            .arg(stateName_, QString::asprintf("%.1f", vbatt));
    if (tray_ && colour != colour_) tray_->setIcon(IconFor(colour));
    if (tray_ && tip != toolTip_) tray_->setToolTip(tip);
    colour_ = colour;
    toolTip_ = tip;

    // Until the unit first answers, "Timeout" means "not yet", not "lost"; a unit found on
    // line is what the user expects, anything else is worth telling.
    if (!linked_) {
        if (condition == TrayCondition::LinkLost) return;
        linked_ = true;
    }
    if (auto note = gate_.Offer(condition, Now())) Notify(*note);
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
    const QString title = NoteTitle(note);
    const QString text = note.to == TrayCondition::LinkLost
                             ? QStringLiteral("The unit does not answer (Timeout)")
                             : stateName_;
    if (sink_) sink_(title, text);
    if (tray_) {
        const auto icon = ColourOf(note.to) == TrayColour::Green ? QSystemTrayIcon::Information
                                                                 : QSystemTrayIcon::Warning;
        tray_->showMessage(title, text, icon);
    }
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
        tray_->isVisible() && closeToTray()) {
        event->ignore();
        window_->hide();
        return true;
    }
    return QObject::eventFilter(watched, event);
}
