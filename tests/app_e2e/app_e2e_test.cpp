// vespero's panel offscreen, fed by the real link thread over a pseudo-terminal from vespero-sim.
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "app/aldera_view.h"
#include "app/main_frame.h"
#include "link/ups_link.h"
#include "widgets/control_ids.h"
#include "widgets/message_box.h"
#include "tests/support/files_and_waits.h"

using testsupport::WaitFor;

// Generous bound for a loaded machine; the assertions are about order and counts only.
constexpr int kWaitMs = 60000;

namespace {

// vespero-sim as a plain child: QProcess starts children with a clone that the thread
// sanitizer cannot follow, which would bury real reports under false ones.
class Simulator {
public:
    bool Start(const QString& readyFile) {
        const QByteArray path = VESPERO_SIM_PATH;
        const QByteArray ready = readyFile.toLocal8Bit();
        pid_ = ::fork();
        if (pid_ == 0) {
            // Only async-signal-safe calls between fork and exec.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlives a test that dies half-way
            const int devnull = ::open("/dev/null", O_WRONLY);
            if (devnull >= 0) ::dup2(devnull, STDOUT_FILENO);
            ::execl(path.constData(), path.constData(), "--com", "1", "--ready-file",
                    ready.constData(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        return pid_ > 0;
    }
    bool Running() {
        if (pid_ <= 0) return false;
        if (::waitpid(pid_, nullptr, WNOHANG) == 0) return true;
        pid_ = -1;
        return false;
    }
    ~Simulator() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }

private:
    pid_t pid_ = -1;
};

// Before each refresh is handled: whether log.txt is there yet.
class RefreshWatcher : public QObject {
public:
    std::vector<bool> logBefore;
    bool eventFilter(QObject*, QEvent* event) override {
        if (int(event->type()) == WM_UPS_REFRESH) logBefore.push_back(QFile::exists("log.txt"));
        return false;
    }
};

TEST(AppEndToEnd, PanelFollowsTheSimulatedUnitAndLogsOnTheEleventhRefresh) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString config = dir.filePath("config");
    ASSERT_TRUE(QDir().mkpath(config + "/Tralvane"));
    ASSERT_TRUE(QDir().mkpath(dir.filePath("run")));
    {
        QFile ini(config + "/Tralvane/Ups.ini");
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("[Orbo]\nAlderaPresent0=1\nCom0=1\nspeed0=9600\nDebug0=1\n"
                  "AlderaPresent1=0\nCom1=2\nDebug1=1\nAlderaPresent2=0\nCom2=3\nDebug2=1\n"
                  "AlderaPresent3=0\nCom3=4\nDebug3=1\n");
    }
    qputenv("XDG_CONFIG_HOME", config.toLocal8Bit());
    const QString oldCwd = QDir::currentPath();
    QDir::setCurrent(dir.filePath("run"));

    std::vector<ShownBox> boxes;
    SetMessageBoxAnswerer([&](const ShownBox& b) { boxes.push_back(b); });

    const QString ready = dir.filePath("sim.ready");
    Simulator sim;
    ASSERT_TRUE(sim.Start(ready));
    ASSERT_TRUE(WaitFor([&] { return QFile::exists(ready) || !sim.Running(); }, 10000));
    ASSERT_TRUE(QFile::exists(ready)) << "vespero-sim did not publish COM1";

    {
        CMainFrame frame;
        auto* view = new CAlderaView(&frame);
        frame.setCentralWidget(view);
        RefreshWatcher watcher;
        view->installEventFilter(&watcher);
        view->OnInitialUpdate();
        EXPECT_EQ(frame.windowTitle(), "Monitor - Vespero");
        StartLinkThread();

        const bool online = WaitFor([&] { return frame.windowTitle() == "On_Line"; }, kWaitMs);
        const bool logged = WaitFor([&] { return QFile::exists("log.txt"); }, kWaitMs);
        StopLinkThread();
        QCoreApplication::processEvents();
        view->removeEventFilter(&watcher);

        EXPECT_TRUE(online) << "caption: " << frame.windowTitle().toStdString();
        ASSERT_TRUE(logged);
        EXPECT_EQ(FindControl<QLabel>(view, 1162)->text(), "Status 2 - ACTIVE");
        EXPECT_EQ(FindControl<QLabel>(view, 1146)->text().left(8), "Vespero ");

        // The row is written by the 11th counted refresh; the very first refresh does not count
        // when it still saw the rating 0 of a unit that had not answered yet.
        size_t firstWithLog = 0;
        while (firstWithLog < watcher.logBefore.size() && !watcher.logBefore[firstWithLog])
            ++firstWithLog;
        // The file appeared while refresh number firstWithLog (counting from 1) was handled.
        EXPECT_GE(firstWithLog, 11u);
        EXPECT_LE(firstWithLog, 12u);
    }
    QFile log("log.txt");
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    EXPECT_TRUE(text.startsWith("Date,Time,Frgen,Vbatt,Iout,Pout,PowerPerc,CCBStatus,Tbatt,Ibatt\r\n"));
    EXPECT_GE(text.count("\r\n"), 2);
    EXPECT_TRUE(boxes.empty());

    SetMessageBoxAnswerer(nullptr);
    QDir::setCurrent(oldCwd);
}

// A built program as a plain child, in the environment and directory set up by the test.
pid_t Spawn(const std::vector<QByteArray>& args, const QByteArray& errorFile, const QByteArray& outputFile = "/dev/null") {
    std::vector<char*> argv;
    for (const QByteArray& a : args) argv.push_back(const_cast<char*>(a.constData()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int out = ::open(outputFile.constData(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (out >= 0) ::dup2(out, STDOUT_FILENO);
        const int err = ::open(errorFile.constData(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (err >= 0) ::dup2(err, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// The exit status of a child that ends; -1 when it is still running after ms.
int WaitExit(pid_t pid, int ms = 60000) {
    int status = -1;
    const bool ended = WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, ms);
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Alive(pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) == 0; }

TEST(AppEndToEnd, ASecondStartBringsTheFirstForwardAndEndsAlsoAfterACrash) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString config = dir.filePath("config"), runtime = dir.filePath("runtime");
    ASSERT_TRUE(QDir().mkpath(config + "/Tralvane"));
    ASSERT_TRUE(QDir().mkpath(runtime));
    ASSERT_TRUE(QDir().mkpath(dir.filePath("run")));
    QFile(runtime).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    {
        QFile ini(config + "/Tralvane/Ups.ini");
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        // No unit: a monitor killed below would leave the serial port's lock file behind in the
        // system's lock folder.
        ini.write("[Orbo]\nAlderaPresent0=0\n");
    }
    qputenv("XDG_CONFIG_HOME", config.toLocal8Bit());
    const QByteArray oldRuntime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");  // no desktop to notify
    const QByteArray oldCache = qgetenv("XDG_CACHE_HOME");
    qputenv("XDG_CACHE_HOME", dir.filePath("cache").toLocal8Bit());  // the notification icon
    const QByteArray oldState = qgetenv("XDG_STATE_HOME");
    qputenv("XDG_STATE_HOME", dir.filePath("state").toLocal8Bit());  // the link trace
    const QString oldCwd = QDir::currentPath();
    QDir::setCurrent(dir.filePath("run"));

    const QByteArray vespero = VESPERO_PATH;
    const QByteArray errors = dir.filePath("stderr.txt").toLocal8Bit();
    const QString socket = QStringLiteral("%1/vespero-%2.socket").arg(runtime).arg(::getuid());
    auto listening = [&] {
        QLocalSocket probe;
        probe.connectToServer(socket);
        return probe.waitForConnected(1000);
    };

    pid_t first = Spawn({vespero}, errors);
    ASSERT_TRUE(WaitFor(listening, kWaitMs)) << "the first monitor never listened";
    // A second start ends at once with 0; the first goes on.
    EXPECT_EQ(WaitExit(Spawn({vespero}, errors)), 0);
    EXPECT_TRUE(Alive(first));
    // The port chooser is refused while a monitor runs, with the reason.
    EXPECT_EQ(WaitExit(Spawn({vespero, "--port-chooser"}, errors)), 1);
    EXPECT_TRUE(Alive(first));
    QFile err(QString::fromLocal8Bit(errors));
    ASSERT_TRUE(err.open(QIODevice::ReadOnly));
    EXPECT_TRUE(err.readAll().contains("already running")) << "stderr: " << errors.constData();

    // A crash leaves the socket behind: the next start takes over and answers in turn.
    ::kill(first, SIGKILL);
    ::waitpid(first, nullptr, 0);
    EXPECT_TRUE(QFile::exists(socket));
    pid_t next = Spawn({vespero}, errors);
    ASSERT_TRUE(WaitFor(listening, kWaitMs)) << "the start after a crash never listened";
    EXPECT_TRUE(Alive(next));
    EXPECT_EQ(WaitExit(Spawn({vespero}, errors)), 0);
    EXPECT_TRUE(Alive(next));
    // Stopped as a session ends it: an orderly exit that leaves no socket behind.
    ::kill(next, SIGTERM);
    EXPECT_EQ(WaitExit(next), 0);
    EXPECT_FALSE(QFile::exists(socket));

    QDir::setCurrent(oldCwd);
    if (oldRuntime.isEmpty()) qunsetenv("XDG_RUNTIME_DIR"); else qputenv("XDG_RUNTIME_DIR", oldRuntime);
    if (oldCache.isEmpty()) qunsetenv("XDG_CACHE_HOME"); else qputenv("XDG_CACHE_HOME", oldCache);
    if (oldState.isEmpty()) qunsetenv("XDG_STATE_HOME"); else qputenv("XDG_STATE_HOME", oldState);
}

// The help reads whole in an 80-column terminal: no line longer, no word cut in two.
TEST(AppEndToEnd, HelpFitsEightyColumnsBetweenWords) {
    QTemporaryDir dir;
    const QByteArray out = dir.filePath("help.txt").toLocal8Bit();
    EXPECT_EQ(WaitExit(Spawn({VESPERO_PATH, "--help"}, dir.filePath("err.txt").toLocal8Bit(), out)), 0);
    const QString help = testsupport::ReadAll(QString::fromLocal8Bit(out));
    QStringList words;
    for (const QString& line : help.split('\n')) {
        EXPECT_LE(line.size(), 79) << line.toStdString();
        words << line.split(' ', Qt::SkipEmptyParts);
    }
    const QString text = words.join(' ');
    for (const char* phrase : {"port that no longer opens (the program otherwise shows the reason under",
                               "One monitor runs per user: a second start brings the running one's window",
                               "keep log.txt and valori.txt in $XDG_DATA_HOME/Tralvane"})
        EXPECT_TRUE(text.contains(QLatin1String(phrase))) << phrase << "\n" << help.toStdString();
}

// Started the way a desktop starts it (standard output no terminal), the monitor keeps the link's
// trace lines out of that output, in a file of the user's state folder.
TEST(AppEndToEnd, TheLinkTraceGoesToTheStateFolderWhenStandardOutputIsNoTerminal) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString config = dir.filePath("config"), runtime = dir.filePath("runtime");
    ASSERT_TRUE(QDir().mkpath(config + "/Tralvane"));
    ASSERT_TRUE(QDir().mkpath(runtime));
    ASSERT_TRUE(QDir().mkpath(dir.filePath("run")));
    testsupport::WriteFile(config + "/Tralvane/Ups.ini", "[Orbo]\nAlderaPresent0=1\nCom0=1\nspeed0=9600\nDebug0=1\n");
    const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", config.toLocal8Bit());
    const QByteArray oldRuntime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    const QByteArray oldCache = qgetenv("XDG_CACHE_HOME");
    qputenv("XDG_CACHE_HOME", dir.filePath("cache").toLocal8Bit());
    const QByteArray oldState = qgetenv("XDG_STATE_HOME");
    qputenv("XDG_STATE_HOME", dir.filePath("state").toLocal8Bit());
    const QString oldCwd = QDir::currentPath();
    QDir::setCurrent(dir.filePath("run"));

    const QString ready = dir.filePath("sim.ready");
    Simulator sim;
    ASSERT_TRUE(sim.Start(ready));
    ASSERT_TRUE(WaitFor([&] { return QFile::exists(ready) || !sim.Running(); }, 10000));

    const QString trace = dir.filePath("state/Tralvane/vespero-trace.log");
    const QByteArray output = dir.filePath("stdout.txt").toLocal8Bit();
    const pid_t monitor = Spawn({VESPERO_PATH}, dir.filePath("stderr.txt").toLocal8Bit(), output);
    ASSERT_GT(monitor, 0);
    // The unit's parameters are read, and traced, once the link is up.
    const bool traced = WaitFor([&] { return testsupport::ReadAll(trace).contains("Parametri impostati"); }, kWaitMs);
    ::kill(monitor, SIGTERM);
    EXPECT_EQ(WaitExit(monitor), 0);
    EXPECT_TRUE(traced) << testsupport::ReadAll(dir.filePath("stderr.txt")).toStdString();
    EXPECT_TRUE(testsupport::ReadAll(trace).contains("Seriale 1\n"));
    EXPECT_EQ(testsupport::ReadAll(QString::fromLocal8Bit(output)), QString());
    EXPECT_EQ(QFileInfo(trace).permissions() & (QFile::ReadOther | QFile::ReadGroup), QFile::Permissions());

    QDir::setCurrent(oldCwd);
    for (const auto& [name, old] : {std::pair{"XDG_CONFIG_HOME", oldConfig}, std::pair{"XDG_RUNTIME_DIR", oldRuntime},
                                    std::pair{"XDG_CACHE_HOME", oldCache}, std::pair{"XDG_STATE_HOME", oldState}}) {
        if (old.isEmpty()) qunsetenv(name); else qputenv(name, old);
    }
}

}  // namespace
