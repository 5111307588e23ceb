// wire_rate: how close the real link comes to the wire's limit, against vespero-sim pacing its
// replies at a given bit rate; plus the unpaced command rate and the link's CPU use.
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>

#include "link/ups_link.h"

namespace {

// Reply length of each request character (the command table's figures).
const std::map<char, int> kReply = {
    {'1', 178}, {'B', 110}, {'p', 54}, {'R', 54}, {'3', 110}, {'a', 54}, {'V', 46}, {'5', 114},
    {'Q', 174}, {'C', 38},  {'i', 34}, {'d', 54}, {'f', 98},  {'&', 70}, {'%', 70}, {'4', 190},
    {'6', 70},  {'7', 42}};

class Counter : public QObject {
public:
    std::atomic<int> refreshes{0};

protected:
    bool event(QEvent* e) override {
        if (int(e->type()) == WM_UPS_REFRESH) {
            ++refreshes;
            return true;
        }
        return QObject::event(e);
    }
};

double CpuSeconds() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + 1e-6 * double(r.ru_utime.tv_usec + r.ru_stime.tv_usec);
}

// Every thread's context switches: each sleep ended, each time the scheduler took the CPU away.
long Wakeups() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return r.ru_nvcsw + r.ru_nivcsw;
}

struct LogFigures {
    long requests = 0;
    long wireChars = 0;  // request plus reply characters
};

LogFigures ReadLog(const QString& path) {
    LogFigures f;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return f;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> parts = line.trimmed().split(' ');
        if (parts.size() < 2) continue;
        ++f.requests;
        const char c = char(parts[1].toUInt(nullptr, 16));
        const auto it = kReply.find(c);
        f.wireChars += parts.size() + (it != kReply.end() ? it->second : 2);
    }
    return f;
}

struct Run {
    double seconds = 0;
    int cycles = 0;
    LogFigures log;
    double cpu = 0;
    long wakeups = 0;
};

Run Measure(const QString& home, int pace, bool present, double seconds) {
    QDir(home).removeRecursively();
    QDir().mkpath(home + "/Tralvane");
    qputenv("XDG_CONFIG_HOME", home.toLocal8Bit());
    QFile ini(home + "/Tralvane/Ups.ini");
    ini.open(QIODevice::WriteOnly);
    ini.write(QStringLiteral("[Orbo]\nAlderaPresent0=%1\nCom0=1\nspeed0=%2\n")
                  .arg(present ? 1 : 0)
                  .arg(pace > 0 ? pace : 115200)
                  .toLatin1());
    ini.close();

    QProcess sim;
    const QString log = home + "/sim.log";
    const QString ready = home + "/ready";
    QStringList args{"--com", "1", "--log", log, "--ready-file", ready};
    if (pace > 0) args += {"--pace", QString::number(pace)};
    sim.start(QStringLiteral(VESPERO_SIM_PATH), args);
    sim.waitForStarted();
    for (int i = 0; i < 500 && !QFile::exists(ready); ++i) QThread::msleep(10);

    Counter counter;
    SendHwnd(&counter);
    StartLinkThread();
    // Let the first cycles settle before measuring.
    {
        QEventLoop loop;
        QTimer::singleShot(300, &loop, &QEventLoop::quit);
        loop.exec();
    }
    const LogFigures before = ReadLog(log);
    const int cyclesBefore = counter.refreshes.load();
    const double cpuBefore = CpuSeconds();
    const long wakeupsBefore = Wakeups();
    const auto start = std::chrono::steady_clock::now();
    {
        QEventLoop loop;
        QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
        loop.exec();
    }
    Run r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.cpu = CpuSeconds() - cpuBefore;
    r.wakeups = Wakeups() - wakeupsBefore;
    r.cycles = counter.refreshes.load() - cyclesBefore;
    const LogFigures after = ReadLog(log);
    r.log.requests = after.requests - before.requests;
    r.log.wireChars = after.wireChars - before.wireChars;
    SendHwnd(nullptr);
    StopLinkThread();
    sim.terminate();
    sim.waitForFinished();
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString home = dir.path() + "/home";
    QDir::setCurrent(dir.path());  // the link's "valori.txt" lands here, if anywhere
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;

    std::printf("wire_rate: %.1f s per figure\n", seconds);
    for (int pace : {9600, 115200}) {
        const Run r = Measure(home, pace, true, seconds);
        const double charsPerCycle = r.cycles ? double(r.log.wireChars) / r.cycles : 0;
        const double limit = charsPerCycle > 0 ? (pace / 10.0) / charsPerCycle : 0;
        const double achieved = r.cycles / r.seconds;
        std::printf("paced %6d bit/s: %6.2f cycles/s, wire limit %6.2f cycles/s (%5.1f %%), "
                    "%.0f chars/cycle, %.1f commands/s, CPU %.3f s per s, %.1f wake-ups/s\n",
                    pace, achieved, limit, limit > 0 ? 100.0 * achieved / limit : 0.0, charsPerCycle,
                    r.log.requests / r.seconds, r.cpu / r.seconds, r.wakeups / r.seconds);
    }
    {
        const Run r = Measure(home, 0, true, seconds);
        std::printf("unpaced pty       : %6.1f commands/s, %6.1f cycles/s, CPU %.3f s per s\n",
                    r.log.requests / r.seconds, r.cycles / r.seconds, r.cpu / r.seconds);
    }
    {
        const Run r = Measure(home, 0, false, seconds);
        std::printf("no unit present   : CPU %.4f s per s, %.1f wake-ups/s\n", r.cpu / r.seconds, r.wakeups / r.seconds);
    }
    return 0;
}
