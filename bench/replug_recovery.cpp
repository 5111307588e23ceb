// replug_recovery: how soon a unit is served again after its adapter comes back. vespero-sim is
// killed (its port-directory entry left dangling, as a pulled adapter leaves its name) and started
// again on a new pseudo-terminal; the time runs from the new device's appearance to the first good
// status: in the link as the window runs it, and through vesperod as a NUT client sees it.
//
// Usage: replug_recovery [REPLUGS]   (default 5); prints one line per program.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/device_lock.h"
#include "link/ups_link.h"

namespace {

using Clock = std::chrono::steady_clock;

class Unit {
public:
    explicit Unit(const QString& home) : home_(home) {}
    ~Unit() { Kill(); }
    bool Start() {
        const QString ready = home_ + "/ready";
        QFile::remove(ready);
        sim_ = std::make_unique<QProcess>();
        sim_->start(QStringLiteral(VESPERO_SIM_PATH), {"--com", "1", "--ready-file", ready});
        if (!sim_->waitForStarted()) return false;
        for (int i = 0; i < 1000 && !QFile::exists(ready); ++i) QThread::msleep(2);
        return QFile::exists(ready);
    }
    // Its entry is left pointing into our folder, not at a pseudo-terminal number that another
    // program may soon get.
    void Kill() {
        if (!sim_) return;
        sim_->kill();
        sim_->waitForFinished();
        sim_.reset();
        QFile::remove(home_ + "/Tralvane/ports/COM1");
        QFile::link(home_ + "/unplugged", home_ + "/Tralvane/ports/COM1");
    }

private:
    QString home_;
    std::unique_ptr<QProcess> sim_;
};

// Milliseconds until fresh() holds, polled every 5 ms; -1 after 30 s.
double TimeUntil(const std::function<bool()>& fresh) {
    const auto start = Clock::now();
    while (Clock::now() - start < std::chrono::seconds(30)) {
        if (fresh()) return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        QThread::msleep(5);
    }
    return -1;
}

std::vector<double> Replug(Unit* unit, int replugs, const std::function<bool()>& fresh, const std::function<bool()>& stale) {
    std::vector<double> times;
    for (int i = 0; i < replugs; ++i) {
        unit->Kill();
        if (TimeUntil(stale) < 0 || !unit->Start()) break;
        const double ms = TimeUntil(fresh);
        if (ms < 0) break;
        times.push_back(ms);
    }
    return times;
}

FILE* out = stdout;  // the figures; the link's trace lines go to /dev/null

void Print(const char* what, int replugs, std::vector<double> times) {
    std::sort(times.begin(), times.end());
    if (times.empty()) {
        std::fprintf(out, "%s: 0 of %d returns served again\n", what, replugs);
        return;
    }
    std::fprintf(out, "%s: %zu of %d returns served again; first good status after median %.0f ms, worst %.0f ms\n", what,
                times.size(), replugs, times[times.size() / 2], times.back());
}

bool LinkShowsTimeout() { return std::strcmp(SnapshotDevice(0).stateText, "Timeout") == 0; }

// One request on a fresh connection: the status answer, or the error.
std::string AskStatus(quint16 port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {};
    timeval limit{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    static const char kRequest[] = "GET VAR vespero0 ups.status\n";
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        send(fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) > 0) {
        char buffer[256];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) answer.assign(buffer, size_t(n));
    }
    close(fd);
    return answer;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    out = fdopen(dup(STDOUT_FILENO), "w");
    setvbuf(out, nullptr, _IOLBF, 0);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    const int replugs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    QTemporaryDir dir;
    const QString home = dir.path();
    QDir::setCurrent(home);
    QDir().mkpath(home + "/Tralvane");
    qputenv("XDG_CONFIG_HOME", home.toLocal8Bit());
    QFile ini(home + "/Tralvane/Ups.ini");
    ini.open(QIODevice::WriteOnly);
    ini.write("[Orbo]\nAlderaPresent0=1\nCom0=1\n");
    ini.close();

    Unit unit(home);
    if (!unit.Start()) {
        std::fprintf(stderr, "replug_recovery: vespero-sim did not start\n");
        return 1;
    }

    // The window's link, in this process.
    StartLinkThread();
    TimeUntil([] { return !LinkShowsTimeout(); });
    Print("link (window)", replugs, Replug(&unit, replugs, [] { return !LinkShowsTimeout(); }, LinkShowsTimeout));
    StopLinkThread();

    quint16 port = 0;
    {
        QTcpServer probe;
        probe.listen(QHostAddress(QHostAddress::LocalHost), 0);
        port = probe.serverPort();
    }
    QProcess daemon;
    daemon.setStandardErrorFile(home + "/vesperod.err");
    daemon.start(QStringLiteral(VESPEROD_PATH), {"--listen", QStringLiteral("127.0.0.1:%1").arg(port)});
    if (!daemon.waitForStarted()) return 1;
    auto served = [port] { return AskStatus(port).rfind("VAR ", 0) == 0; };
    auto stale = [port] { return AskStatus(port).rfind("ERR DATA-STALE", 0) == 0; };
    TimeUntil(served);
    Print("vesperod", replugs, Replug(&unit, replugs, served, stale));
    daemon.terminate();
    daemon.waitForFinished();
    return 0;
}
