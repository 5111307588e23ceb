#include "app/aldera_app.h"

#include <QThread>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>

#include "app/about_dlg.h"
#include "app/aldera_doc.h"
#include "app/aldera_view.h"
#include "app/artwork.h"
#include "app/data_log.h"
#include "app/framework_commands.h"
#include "app/desktop/desktop_extras.h"
#include "app/main_frame.h"
#include "app/port_chooser_start.h"
#include "app/desktop/single_instance.h"
#include "link/port/port_errors.h"
#include "widgets/message_box.h"

namespace {
std::mutex boxMutex;
std::condition_variable boxClosed;
bool windowThreadClosing = false;  // guarded by boxMutex

// A port that does not open ends the program: the box says how to name another one.
const char kOtherPortHint[] =
    "To use another port, start vespero --port-chooser (or, once the monitor runs, choose File > "
    "Config ComPort).";

void ToStandardError(const char* text, const char* caption) {
    std::fprintf(stderr, "%s: %s\n%s\n", caption, text, kOtherPortHint);
    std::fflush(stderr);
}

void ShowPortErrorBox(const char* text, const char* caption) {
    const QString boxText = QString::fromLocal8Bit(text) + QStringLiteral("\n\n") + QLatin1String(kOtherPortHint);
    const QString boxCaption = QString::fromLocal8Bit(caption);
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return ToStandardError(text, caption);
    if (QThread::currentThread() == app->thread()) {
        ShowMessageBox(nullptr, boxText, boxCaption, BoxIcon::Information);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(boxMutex);
        if (windowThreadClosing) return ToStandardError(text, caption);
    }
    // Widgets live on the window thread only: hand the box over and wait for it to close.
    auto done = std::make_shared<bool>(false);
    QMetaObject::invokeMethod(
        app,
        [boxText, boxCaption, done] {
            ShowMessageBox(nullptr, boxText, boxCaption, BoxIcon::Information);
            {
                std::lock_guard<std::mutex> lock(boxMutex);
                *done = true;
            }
            boxClosed.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(boxMutex);
    boxClosed.wait(lock, [&] { return *done || windowThreadClosing; });
}
}  // namespace

void InstallPortErrorBoxes() {
    {
        std::lock_guard<std::mutex> lock(boxMutex);
        windowThreadClosing = false;
    }
    SetPortErrorReporter(&ShowPortErrorBox);
}

void ClosePortErrorBoxes() {
    {
        std::lock_guard<std::mutex> lock(boxMutex);
        windowThreadClosing = true;
    }
    boxClosed.notify_all();
}

CAlderaApp::CAlderaApp(int& argc, char** argv) : QApplication(argc, argv) {
    setOrganizationName(QStringLiteral("Orbo"));
    setApplicationName(QStringLiteral("Vespero"));
    setWindowIcon(AppIcon());
}

CAlderaApp::~CAlderaApp() { ExitInstance(); }

bool CAlderaApp::InitInstance() {
    // A data log that reaches the file-size limit must fail its write, not end the program.
    std::signal(SIGXFSZ, SIG_IGN);
    InstallPortErrorBoxes();
    // One monitor per user: a second one would fight the first for the port.
    const bool chooser = arguments().contains(QStringLiteral("--port-chooser"));
    instance_ = new SingleInstance(QString(), this);
    switch (instance_->ClaimOrAsk(chooser ? QByteArrayLiteral("port-chooser") : QByteArrayLiteral("show"))) {
    case SingleInstance::Claim::Answered:
        if (!chooser) return false;
        // The port is the running monitor's while it runs: the port can be changed there
        // (File > Config ComPort) or here once it has ended.
        std::fprintf(stderr,
                     "vespero: Vespero Monitor is already running (its window has been brought forward).\n"
                     "Close it with File > Exit, then start vespero --port-chooser again.\n");
        startStatus_ = 1;
        return false;
    case SingleInstance::Claim::NoAnswer:
        std::fprintf(stderr, "vespero: another Vespero Monitor holds %s but does not answer; not starting a second one.\n",
                     qPrintable(instance_->serverName()));
        startStatus_ = 1;
        return false;
    case SingleInstance::Claim::First:
        if (!instance_->error().isEmpty())
            std::fprintf(stderr, "vespero: cannot watch for a second start (%s)\n", qPrintable(instance_->error()));
        break;
    }
    connect(instance_, &SingleInstance::Requested, this, [this] { BringForward(frame_); });
    if (arguments().contains(QStringLiteral("--desktop"))) {
        const QString error = EnterDesktopDataFolder();
        if (!error.isEmpty()) std::fprintf(stderr, "vespero: %s; log.txt stays in the working directory\n", qPrintable(error));
    }
    // The one way out for settings that name a dead port: pick another before the link opens it.
    if (chooser && !ChoosePortBeforeStart()) return false;

    doc_ = new CAlderaDoc(this);  // starts the link thread
    if (!doc_->OnNewDocument()) return false;

    frame_ = new CMainFrame;
    frame_->setWindowTitle(doc_->Title() + QStringLiteral(" - ") + applicationName());
    view_ = new CAlderaView(frame_);
    frame_->setCentralWidget(view_);
    connect(frame_, &CMainFrame::AboutRequested, this, &CAlderaApp::OnAppAbout);
    view_->OnInitialUpdate();
    fileCommands_ = new FrameworkCommands(doc_, frame_, view_, frame_);
    InstallDesktopExtras(frame_, view_);

    frame_->show();
    frame_->repaint();
    return true;
}

void CAlderaApp::ExitInstance() {
    ClosePortErrorBoxes();
    if (doc_) doc_->StopLink();  // no notification may reach the panel once it is gone
    delete frame_;
    frame_ = nullptr;
    view_ = nullptr;
    fileCommands_ = nullptr;
}

void CAlderaApp::OnAppAbout() {
    CAboutDlg about(frame_);
    about.exec();
}
