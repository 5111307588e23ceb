// vesperod while its unit is pulled and plugged back again and again: the simulator is killed
// (alternately without warning and in an orderly way) and started on a new pseudo-terminal every
// few seconds, while 100 clients poll the unit's status, each on its own connection. Every return
// must be served again; the service's memory and descriptors must stay flat; no client may see
// anything but the status or DATA-STALE. A handful of replugs here; VESPERO_SOAK_LONG=1 runs
// about an hour (VESPERO_SOAK_REPLUGS sets the count; VESPERO_SOAK_SIM and VESPERO_SOAK_DAEMON
// name the programs to run instead of the built ones).
#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"

namespace {

using Clock = std::chrono::steady_clock;

int Replugs() {
    if (const char* n = std::getenv("VESPERO_SOAK_REPLUGS")) return std::max(1, std::atoi(n));
    return qEnvironmentVariableIsSet("VESPERO_SOAK_LONG") ? 900 : 6;
}

long ProcessRssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

int ProcessDescriptors(pid_t pid) {
    return int(QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

// One polling client: a connection of its own, one request at a time, every answer sorted.
class Poller {
public:
    void Run(quint16 port, const std::atomic<bool>& stop) {
        std::string buffer;
        int fd = -1;
        while (!stop.load()) {
            if (fd < 0 && (fd = Connect(port)) < 0) {
                ++reconnects;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
            static const char kRequest[] = "GET VAR vespero0 ups.status\n";
            std::string line;
            if (send(fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) != ssize_t(sizeof kRequest - 1) ||
                !ReadLine(fd, &buffer, &line)) {
                close(fd);
                fd = -1;
                ++reconnects;
                continue;
            }
            if (line.rfind("VAR vespero0 ups.status ", 0) == 0) {
                ++fresh;
                lastFresh.store(Clock::now().time_since_epoch().count());
            } else if (line == "ERR DATA-STALE") {
                ++stale;
            } else {
                ++odd;
                oddSample = line;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (fd >= 0) close(fd);
    }

    std::atomic<long> fresh{0}, stale{0}, odd{0}, reconnects{0};
    std::atomic<Clock::rep> lastFresh{0};
    std::string oddSample;

private:
    static int Connect(quint16 port) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        timeval limit{5, 0};  // a stuck server fails the test instead of hanging it
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }
    static bool ReadLine(int fd, std::string* buffer, std::string* line) {
        for (;;) {
            const size_t end = buffer->find('\n');
            if (end != std::string::npos) {
                *line = buffer->substr(0, end);
                buffer->erase(0, end + 1);
                return true;
            }
            char chunk[512];
            const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) return false;
            buffer->append(chunk, size_t(n));
        }
    }
};

// A long run by hand may take its programs from copies, so the tree can be rebuilt meanwhile.
QString Program(const char* variable, const char* built) {
    return qEnvironmentVariableIsSet(variable) ? qEnvironmentVariable(variable) : QString::fromLocal8Bit(built);
}

TEST(ReplugSoak, EveryReturnIsServedAgainWithFlatMemoryAndDescriptors) {
    const QString simPath = Program("VESPERO_SOAK_SIM", VESPERO_SIM_PATH);
    const QString daemonPath = Program("VESPERO_SOAK_DAEMON", VESPEROD_PATH);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
    qputenv("XDG_STATE_HOME", dir.path().toLocal8Bit());  // the history file
    QDir().mkpath(dir.filePath("Tralvane"));
    {
        QFile ini(dir.filePath("Tralvane/Ups.ini"));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("[Orbo]\nAlderaPresent0=1\nCom0=4\n");
        QFile conf(dir.filePath("Tralvane/vesperod.conf"));  // all 100 clients come from one address
        ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
        conf.write("[server]\nmax_connections_per_address = 128\n");
    }
    quint16 port = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress(QHostAddress::LocalHost), 0));
        port = probe.serverPort();
    }
    const QString log = dir.filePath("vesperod.err");
    auto sim = std::make_unique<testsupport::SimProcess>(simPath, 4, dir.path());
    ASSERT_TRUE(sim->ready());
    const pid_t daemon = testsupport::Spawn(daemonPath,
                                            {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(port)}, log);
    ASSERT_GT(daemon, 0);
    // The clients come once the service serves the unit, as they would to a running service.
    const auto started = Clock::now() + std::chrono::seconds(15);
    auto serving = [&] {
        QFile f(log);
        if (!f.open(QIODevice::ReadOnly)) return false;
        const QByteArray text = f.readAll();
        return text.contains("first data from the unit") && text.contains("listening on");
    };
    while (!serving() && Clock::now() < started) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(serving());

    std::atomic<bool> stop{false};
    std::vector<std::unique_ptr<Poller>> pollers;
    std::vector<std::thread> threads;
    for (int i = 0; i < 100; ++i) {
        pollers.push_back(std::make_unique<Poller>());
        threads.emplace_back([&, p = pollers.back().get()] { p->Run(port, stop); });
    }
    auto freshSince = [&](Clock::time_point since) {
        for (const auto& p : pollers)
            if (p->lastFresh.load() > since.time_since_epoch().count()) return true;
        return false;
    };
    auto waitFresh = [&](Clock::time_point since) {
        const auto until = Clock::now() + std::chrono::seconds(15);
        while (!freshSince(since) && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return freshSince(since);
    };
    ASSERT_TRUE(waitFresh(Clock::now() - std::chrono::hours(1)));

    const int replugs = Replugs();
    std::vector<double> recoveryMs;
    long rssWarm = 0, rssEnd = 0;
    int fdsWarm = 0, fdsEnd = 0;
    int recovered = 0;
    for (int i = 0; i < replugs; ++i) {
        if (i % 2 == 0) kill(sim->pid(), SIGKILL);  // yanked: the entry dangles
        sim.reset();                                 // otherwise an orderly stop; the entry goes
        if (i % 2 == 0) {
            // Into our own folder: a pseudo-terminal's number is soon another program's.
            QFile::remove(dir.filePath("Tralvane/ports/COM4"));
            QFile::link(dir.filePath("unplugged"), dir.filePath("Tralvane/ports/COM4"));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        sim = std::make_unique<testsupport::SimProcess>(simPath, 4, dir.path());
        ASSERT_TRUE(sim->ready());
        const auto back = Clock::now();
        if (!waitFresh(back)) {
            ADD_FAILURE() << "return " << i + 1 << " was not served again";
            break;
        }
        ++recovered;
        recoveryMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - back).count());
        // Taken at the same point of every round, once the first rounds have warmed everything up.
        if (i == 1) {
            rssWarm = ProcessRssKb(daemon);
            fdsWarm = ProcessDescriptors(daemon);
        }
        rssEnd = ProcessRssKb(daemon);
        fdsEnd = ProcessDescriptors(daemon);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    }
    stop = true;
    for (std::thread& t : threads) t.join();
    kill(daemon, SIGTERM);
    const int exitStatus = testsupport::WaitExit(daemon, 10000);
    if (exitStatus == -1) testsupport::Terminate(daemon);

    long fresh = 0, stale = 0, odd = 0, reconnects = 0;
    std::string oddSample;
    for (const auto& p : pollers) {
        fresh += p->fresh;
        stale += p->stale;
        odd += p->odd;
        reconnects += p->reconnects;
        if (!p->oddSample.empty()) oddSample = p->oddSample;
    }
    std::sort(recoveryMs.begin(), recoveryMs.end());
    const double median = recoveryMs.empty() ? 0 : recoveryMs[recoveryMs.size() / 2];
    const double worst = recoveryMs.empty() ? 0 : recoveryMs.back();
    std::printf("replug soak: %d of %d returns served again; back to fresh data after median %.0f ms, worst %.0f ms; "
                "%ld fresh and %ld stale answers, %ld reconnects; RSS %ld -> %ld kB, descriptors %d -> %d\n",
                recovered, replugs, median, worst, fresh, stale, reconnects, rssWarm, rssEnd, fdsWarm, fdsEnd);

    EXPECT_EQ(recovered, replugs);
    EXPECT_EQ(odd, 0) << "e.g. " << oddSample;
    EXPECT_EQ(reconnects, 0) << "no client is dropped meanwhile";
    EXPECT_GT(stale, 0) << "the outages were told to the clients";
    EXPECT_EQ(exitStatus, 0) << "a clean stop, with no sanitizer report";
    EXPECT_LE(fdsEnd, fdsWarm) << "descriptors " << fdsWarm << " -> " << fdsEnd;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(rssEnd - rssWarm, 8 * 1024) << "RSS " << rssWarm << " kB -> " << rssEnd << " kB";
#endif
    QFile errors(log);
    ASSERT_TRUE(errors.open(QIODevice::ReadOnly));
    const QByteArray text = errors.readAll();
    EXPECT_FALSE(text.contains("Sanitizer")) << text.right(4000).toStdString();
    EXPECT_GE(text.count("port reopened"), replugs) << text.right(4000).toStdString();
}

}  // namespace
