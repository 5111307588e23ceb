#include "app/main_frame.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QTimer>
#include <QWindow>

#include "app/artwork.h"
#include "widgets/control_ids.h"

namespace {
enum { kIdCaps = 59137, kIdNum = 59138, kIdScroll = 59139, kIdStatusBar = 59393 };

// The lock keys can change in any window; a slow look at the system's state catches that.
constexpr int kLockKeyPollMs = 1000;

QAction* AddCommand(QMenu* menu, const QString& text, int id, const QString& prompt = {}) {
    QAction* action = menu->addAction(text);
    action->setObjectName(CommandName(id));
    if (!prompt.isEmpty()) action->setStatusTip(prompt);
    return action;
}

QLabel* MakeIndicator(const QString& text, int id, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(ControlName(id));
    label->setAlignment(Qt::AlignCenter);
    label->setFrameShape(QFrame::Panel);
    label->setFrameShadow(QFrame::Sunken);
    // Room for the word even while it is blank.
    label->setMinimumWidth(label->fontMetrics().horizontalAdvance(text) + 10);
    label->setProperty("indicatorText", text);
    return label;
}
}  // namespace

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("Monitor - Vespero"));
    setWindowIcon(AppIcon());
    BuildMenuBar();
    BuildAccelerators();
    BuildStatusBar();
    if (lockKeys_.Available()) {
        UpdateIndicators();
        lockKeyPoll_ = new QTimer(this);
        connect(lockKeyPoll_, &QTimer::timeout, this, &CMainFrame::UpdateIndicators);
        lockKeyPoll_->start(kLockKeyPollMs);
        qApp->installEventFilter(this);
    }
}

void CMainFrame::BuildMenuBar() {
    QMenuBar* bar = menuBar();
    QMenu* file = bar->addMenu(QStringLiteral("&File"));
    // The menu opens with a separator, which Qt would otherwise fold away.
    file->setSeparatorsCollapsible(false);
    // Clear of the menu's frame, so the separator is seen as one.
    file->setContentsMargins(0, 4, 0, 0);
    file->addSeparator();
    AddCommand(file, QStringLiteral("Config ComPort"), 32782);
    AddCommand(file, QStringLiteral("Insert Password"), 32784);
    file->addSeparator();
    QAction* exit = AddCommand(file, QStringLiteral("Exit"), 57665, QStringLiteral("Exit From Application"));
    connect(exit, &QAction::triggered, this, &QWidget::close);

    // As the menu resource holds it; the panel removes it when it starts, and the service menu
    // builds it anew once an access code is entered.
    QMenu* user = bar->addMenu(QStringLiteral("&User"));
    AddCommand(user, QStringLiteral("Parameters"), 32772);
    AddCommand(user, QStringLiteral("VesperoSet"), 32792);
    AddCommand(user, QStringLiteral("Corr AD"), 32793);
    AddCommand(user, QStringLiteral("Stop && Save"), 32794);
    user->addSeparator();
    AddCommand(user, QStringLiteral("Manage Values"), 32790);
    AddCommand(user, QStringLiteral("Reset EEPROM"), 32791);

    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    AddCommand(help, QStringLiteral("Firmware Version"), 32795);
    help->addSeparator();
    QAction* about = AddCommand(help, QStringLiteral("About Vespero Monitor ..."), 57664);
    connect(about, &QAction::triggered, this, &CMainFrame::AboutRequested);
}

void CMainFrame::BuildAccelerators() {
    // The framework's file commands: reached by their keys (printer set-up only by its id),
    // never shown in a menu. Held by the frame, so they work wherever its focus is.
    const std::pair<int, QKeySequence> commands[] = {
        {57600, QKeySequence(Qt::CTRL | Qt::Key_N)},
        {57601, QKeySequence(Qt::CTRL | Qt::Key_O)},
        {57606, QKeySequence()},
    };
    for (const auto& [id, keys] : commands) {
        auto* action = new QAction(this);
        action->setObjectName(CommandName(id));
        action->setShortcut(keys);
        addAction(action);
    }
}

void CMainFrame::BuildStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setObjectName(ControlName(kIdStatusBar));
    // The message pane shows the idle text whenever no menu prompt is shown: a prompt is a
    // temporary message, which hides the normal widgets while it stands.
    messagePane_ = new QLabel(QStringLiteral("Pronto"), bar);
    messagePane_->setObjectName(QStringLiteral("messagePane"));
    bar->addWidget(messagePane_, 1);
    caps_ = MakeIndicator(QStringLiteral("CAP"), kIdCaps, bar);
    num_ = MakeIndicator(QStringLiteral("NUM"), kIdNum, bar);
    scroll_ = MakeIndicator(QStringLiteral("SCRL"), kIdScroll, bar);
    bar->addPermanentWidget(caps_);
    bar->addPermanentWidget(num_);
    bar->addPermanentWidget(scroll_);
}

QLabel* CMainFrame::Indicator(int id) const {
    switch (id) {
    case kIdCaps: return caps_;
    case kIdNum: return num_;
    case kIdScroll: return scroll_;
    default: return nullptr;
    }
}

void CMainFrame::UpdateIndicators() {
    const std::optional<LockKeyState> state = lockKeys_.Read();
    auto show = [](QLabel* label, bool on) {
        const QString text = on ? label->property("indicatorText").toString() : QString();
        if (label->text() != text) label->setText(text);
    };
    show(caps_, state && state->caps);
    show(num_, state && state->num);
    show(scroll_, state && state->scroll);
}

bool CMainFrame::eventFilter(QObject* watched, QEvent* event) {
    // Besides the slow poll: at once when the program comes back to the front, and when a lock
    // key is let go in one of its windows.
    if (event->type() == QEvent::ApplicationActivate) {
        UpdateIndicators();
    } else if (event->type() == QEvent::KeyRelease && qobject_cast<QWindow*>(watched)) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_CapsLock || key == Qt::Key_NumLock || key == Qt::Key_ScrollLock)
            UpdateIndicators();
    }
    return QMainWindow::eventFilter(watched, event);
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    QMainWindow::closeEvent(event);
    // Closing the frame ends the program, also while an unowned box waits in its own loop.
    if (event->isAccepted()) QCoreApplication::quit();
}
