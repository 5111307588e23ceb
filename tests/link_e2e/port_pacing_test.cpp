// The QSerialPort driver against a reply that trickles in at line speed: it is collected whole in
// one read call, without a wakeup per character or per short nap (counted as read system calls
// of this process).
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "e2e_support.h"
#include "link/port/serial_port.h"

namespace e2e {
namespace {

long ReadSyscalls() {
    std::ifstream io("/proc/self/io");
    std::string key;
    long value = -1;
    while (io >> key >> value)
        if (key == "syscr:") return value;
    return -1;
}

TEST(PortPacing, ReplyAtLineSpeedIsCollectedWholeWithoutAWakeupPerCharacter) {
    if (ReadSyscalls() < 0) GTEST_SKIP() << "/proc/self/io is not readable here";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray oldHome = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());

    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const QString slave = QString::fromLocal8Bit(ptsname(master));
    const int keep = ::open(ptsname(master), O_RDWR | O_NOCTTY);  // holds the line up
    termios t{};
    if (keep >= 0 && tcgetattr(keep, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(keep, TCSANOW, &t);
    }
    ASSERT_TRUE(QDir().mkpath(dir.path() + "/Tralvane/ports"));
    ASSERT_TRUE(QFile::link(slave, dir.path() + "/Tralvane/ports/COM7"));

    const UpsPortOps* ops = QtSerialPortOps();
    static _ZozeUps ups;
    std::memset(&ups, 0, sizeof ups);
    ups.comPort = 7;
    ups.baudRate = 9600;
    ASSERT_EQ(ops->open(&ups), 0);

    // One character at a time at 9600 bit/s; the read calls it takes to collect the reply.
    auto trickle = [&](size_t length) {
        std::string reply(length, '0');
        for (size_t i = 0; i < reply.size(); ++i) reply[i] = "0123456789ABCDEF"[i % 16];
        std::thread line([&] {
            for (char c : reply) {
                if (::write(master, &c, 1) != 1) return;
                std::this_thread::sleep_for(std::chrono::microseconds(1042));
            }
        });
        char dest[512] = {};
        uint32_t error = 0;
        const long before = ReadSyscalls();
        const int got = ops->read(dest, int(reply.size()), &error, &ups);
        const long reads = ReadSyscalls() - before;
        line.join();
        EXPECT_EQ(got, int(reply.size()));
        EXPECT_EQ(std::string(dest, size_t(std::max(got, 0))), reply);
        return reads;
    };
    // A status reply's length: one look per character would be over a hundred.
    const long statusReads = trickle(110);
    EXPECT_LT(statusReads, 40) << statusReads << " read calls for 110 characters";
    // Once the line has shown it runs no faster than its rate, the nap lasts the rest's wire time
    // rather than a short slice of it: a long reply takes a few looks, not one per 20 ms.
    const long longReads = trickle(400);
    EXPECT_LT(longReads, 12) << longReads << " read calls for 400 characters";

    ops->close(&ups);
    if (keep >= 0) ::close(keep);
    ::close(master);
    if (oldHome.isNull()) qunsetenv("XDG_CONFIG_HOME");
    else qputenv("XDG_CONFIG_HOME", oldHome);
}

}  // namespace
}  // namespace e2e
