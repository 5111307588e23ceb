// vesperod under a service manager: what systemd reads from NOTIFY_SOCKET (Type=notify).
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "tests/support/child_process.h"
#include "tests/support/files_and_waits.h"

using testsupport::Spawn;
using testsupport::Terminate;
using testsupport::WaitExit;
using testsupport::ReadAll;

namespace {

// The service manager's end: a datagram socket in a scratch folder.
class NotifySocket {
public:
    explicit NotifySocket(const QString& path) : path_(path.toLocal8Bit()) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path_.constData(), sizeof addr.sun_path - 1);
        if (bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~NotifySocket() {
        if (fd_ >= 0) close(fd_);
    }
    bool valid() const { return fd_ >= 0; }
    const QByteArray& path() const { return path_; }

    // The next message, or empty once limitMs have passed without one.
    QByteArray Next(int limitMs) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, limitMs) != 1) return {};
        char buffer[4096];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        return n > 0 ? QByteArray(buffer, int(n)) : QByteArray();
    }
    // Reads until a message holds `line`; every message read is appended to *seen.
    bool AwaitLine(const QByteArray& line, int limitMs, QList<QByteArray>* seen) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < limitMs) {
            const QByteArray m = Next(int(limitMs - t.elapsed()));
            if (m.isEmpty()) continue;
            seen->append(m);
            if (m.split('\n').contains(line)) return true;
        }
        return false;
    }

private:
    QByteArray path_;
    int fd_ = -1;
};

TEST(DaemonServiceManager, ReadyOnceListeningThenWatchdogPingsThenStopping) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
    qputenv("XDG_STATE_HOME", dir.path().toLocal8Bit());  // the history file
    QDir().mkpath(dir.filePath("Tralvane"));
    {
        QFile ini(dir.filePath("Tralvane/Ups.ini"));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("[Orbo]\nAlderaPresent0=0\n");
    }
    NotifySocket manager(dir.filePath("notify"));
    ASSERT_TRUE(manager.valid());
    quint16 port = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress(QHostAddress::LocalHost), 0));
        port = probe.serverPort();
    }

    // A watchdog of 300 ms: a ping at least every 150 ms.
    qputenv("NOTIFY_SOCKET", manager.path());
    qputenv("WATCHDOG_USEC", "300000");
    const pid_t daemon = Spawn(QStringLiteral(VESPEROD_PATH), {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(port)},
                               dir.filePath("err"));
    qunsetenv("NOTIFY_SOCKET");
    qunsetenv("WATCHDOG_USEC");
    ASSERT_GT(daemon, 0);

    QList<QByteArray> seen;
    ASSERT_TRUE(manager.AwaitLine("READY=1", 10000, &seen)) << ReadAll(dir.filePath("err")).toStdString();
    // Ready means a client gets in at once.
    QTcpSocket client;
    client.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    EXPECT_TRUE(client.waitForConnected(5000));
    client.abort();

    int pings = 0;
    for (const QByteArray& m : seen) pings += m == "WATCHDOG=1";
    while (pings < 3) {
        seen.clear();
        if (!manager.AwaitLine("WATCHDOG=1", 10000, &seen)) break;
        ++pings;
    }
    EXPECT_GE(pings, 3) << ReadAll(dir.filePath("err")).toStdString();

    kill(daemon, SIGTERM);
    seen.clear();
    EXPECT_TRUE(manager.AwaitLine("STOPPING=1", 10000, &seen));
    EXPECT_EQ(WaitExit(daemon, 10000), 0) << ReadAll(dir.filePath("err")).toStdString();
    Terminate(daemon);
}

}  // namespace
