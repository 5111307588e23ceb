// The port layer on its own: COM names, the settings store, and the QSerialPort driver against a
// pseudo-terminal that the test holds itself.
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "e2e_support.h"
#include "link/link_core.h"
#include "link/port/port_directory.h"
#include "link/port/port_errors.h"
#include "link/port/serial_port.h"
#include "link/port/settings_store.h"

namespace e2e {
namespace {

class PortLayer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        old_ = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", dir_.path().toLocal8Bit());
    }
    void TearDown() override {
        if (old_.isNull()) qunsetenv("XDG_CONFIG_HOME");
        else qputenv("XDG_CONFIG_HOME", old_);
    }
    QString Path(const QString& name) const { return dir_.path() + "/" + name; }
    void Publish(int com, const QString& target) {
        QDir().mkpath(Path("Tralvane/ports"));
        ASSERT_TRUE(QFile::link(target, Path(QStringLiteral("Tralvane/ports/COM%1").arg(com))));
    }

    QTemporaryDir dir_;
    QByteArray old_;
};

TEST_F(PortLayer, ComNumbersMapToFixedDeviceRangesUnlessTheDirectoryNamesThem) {
    EXPECT_EQ(DevicePathForComPort(1), "/dev/ttyS0");
    EXPECT_EQ(DevicePathForComPort(32), "/dev/ttyS31");
    EXPECT_EQ(DevicePathForComPort(33), "/dev/ttyUSB0");
    EXPECT_EQ(DevicePathForComPort(64), "/dev/ttyUSB31");
    EXPECT_EQ(DevicePathForComPort(65), "/dev/ttyACM0");
    EXPECT_EQ(DevicePathForComPort(96), "/dev/ttyACM31");
    EXPECT_EQ(DevicePathForComPort(97), "");
    EXPECT_EQ(DevicePathForComPort(0), "");
    EXPECT_EQ(DevicePathForComPort(-1), "");
    EXPECT_EQ(PortDirectory(), Path("Tralvane/ports"));

    Publish(3, "/dev/ttyUSB4");
    Publish(120, Path("nowhere"));  // dangling: still this entry, so opening it fails loudly
    EXPECT_EQ(DevicePathForComPort(3), "/dev/ttyUSB4");
    EXPECT_EQ(DevicePathForComPort(120), Path("nowhere"));
    EXPECT_EQ(DevicePathForComPort(4), "/dev/ttyS3");

    // The directory follows XDG_CONFIG_HOME as it is at the call.
    QTemporaryDir other;
    qputenv("XDG_CONFIG_HOME", other.path().toLocal8Bit());
    EXPECT_EQ(DevicePathForComPort(3), "/dev/ttyS2");
}

// On Windows COM n is the system's own name; only the system's COM ports are offered.
TEST_F(PortLayer, WindowsNamingUsesTheSystemComNames) {
    EXPECT_EQ(DevicePathForComPort(3, PortNaming::Windows), "\\\\.\\COM3");
    EXPECT_EQ(DevicePathForComPort(120, PortNaming::Windows), "\\\\.\\COM120");
    EXPECT_EQ(DevicePathForComPort(0, PortNaming::Windows), "");
    EXPECT_EQ(ComNumberOfSystemPort("COM10", "\\\\.\\COM10", PortNaming::Windows), 10);
    EXPECT_EQ(ComNumberOfSystemPort("COM0", "\\\\.\\COM0", PortNaming::Windows), 0);
    EXPECT_EQ(ComNumberOfSystemPort("LPT1", "\\\\.\\LPT1", PortNaming::Windows), 0);
    EXPECT_EQ(ComNumberOfSystemPort("ttyS2", "/dev/ttyS2", PortNaming::Windows), 0);
    EXPECT_EQ(ComNumberOfSystemPort("ttyS2", "/dev/ttyS2", PortNaming::Posix), 3);
}

TEST_F(PortLayer, ChooserListsDirectoryEntriesInNumericOrderWithoutDuplicates) {
    Publish(10, "/dev/null");
    Publish(2, "/dev/null");
    Publish(1, Path("gone"));
    QDir().mkpath(Path("Tralvane/ports"));
    for (const char* junk : {"COM02", "COM0", "COMx", "notes.txt", "com4"}) {
        QFile f(Path(QStringLiteral("Tralvane/ports/") + junk));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    const QList<ComPortEntry> ports = ListComPorts();
    ASSERT_GE(ports.size(), 3);
    EXPECT_EQ(ports[0].number, 1);
    EXPECT_EQ(ports[0].name, "COM1");
    EXPECT_EQ(ports[0].devicePath, Path("gone"));
    EXPECT_EQ(ports[1].name, "COM2");
    EXPECT_EQ(ports[2].name, "COM10");
    EXPECT_EQ(ports[2].devicePath, "/dev/null");
    QList<int> numbers;
    for (const ComPortEntry& p : ports) {
        EXPECT_FALSE(numbers.contains(p.number)) << p.name.toStdString();
        numbers.append(p.number);
        EXPECT_EQ(p.name, QStringLiteral("COM%1").arg(p.number));
        EXPECT_EQ(p.devicePath, DevicePathForComPort(p.number)) << "the list names what opening uses";
    }
}

TEST_F(PortLayer, SettingsStoreKeepsStringValuesInTheOrboGroup) {
    const LinkSettingsStore* store = QtSettingsStore();
    EXPECT_EQ(LinkSettingsLocation(), Path("Tralvane/Ups.ini"));
    char buffer[50];
    EXPECT_EQ(store->readText("Com0", buffer, sizeof buffer), 0) << "nothing stored yet";

    EXPECT_EQ(store->writeText("Com0", "7"), 1);
    EXPECT_EQ(store->writeText("hostname", "ups-room, rack 3"), 1);
    EXPECT_EQ(store->readText("Com0", buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "7");
    EXPECT_EQ(store->readText("hostname", buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "ups-room, rack 3");

    QSettings file(Path("Tralvane/Ups.ini"), QSettings::IniFormat);
    EXPECT_EQ(file.value("Orbo/Com0").toString(), "7");

    // Long values are cut to the caller's buffer, NUL included.
    EXPECT_EQ(store->writeText("Com1", std::string(80, '9').c_str()), 1);
    char small[8];
    EXPECT_EQ(store->readText("Com1", small, sizeof small), 1);
    EXPECT_STREQ(small, "9999999");

    // A hand-written list keeps its text, so the leading number still counts.
    QFile ini(Path("Tralvane/Ups.ini"));
    ASSERT_TRUE(ini.open(QIODevice::Append));
    ini.write("Com2=5, 6\n");
    ini.close();
    EXPECT_EQ(store->readText("Com2", buffer, sizeof buffer), 1);
    int value = 0;
    EXPECT_EQ(ParseLeadingInt(buffer, &value), 1);
    EXPECT_EQ(value, 5);

    // The file follows XDG_CONFIG_HOME at every call.
    QTemporaryDir other;
    qputenv("XDG_CONFIG_HOME", other.path().toLocal8Bit());
    EXPECT_EQ(store->readText("Com0", buffer, sizeof buffer), 0);
    EXPECT_EQ(store->writeText("Com0", "3"), 1);
    EXPECT_TRUE(QFile::exists(other.path() + "/Tralvane/Ups.ini"));
}

TEST_F(PortLayer, SettingsStoreReportsAFailedWrite) {
    // "Tralvane" is a plain file, so the settings directory cannot exist.
    QFile blocker(Path("Tralvane"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const LinkSettingsStore* store = QtSettingsStore();
    EXPECT_EQ(store->writeText("Com0", "1"), 0);
    char buffer[50];
    EXPECT_EQ(store->readText("Com0", buffer, sizeof buffer), 0);
}

// A pseudo-terminal the test drives from the unit's side.
struct Pty {
    int master = -1;
    QString slave;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) || unlockpt(master)) return;
        slave = QString::fromLocal8Bit(ptsname(master));
        termios t{};
        const int fd = ::open(ptsname(master), O_RDWR | O_NOCTTY);
        if (fd >= 0 && tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
        keep = fd;
    }
    ~Pty() {
        if (keep >= 0) ::close(keep);
        if (master >= 0) ::close(master);
    }
    std::string ReadAvailable(int waitMs) {
        std::string out;
        pollfd p{master, POLLIN, 0};
        while (poll(&p, 1, waitMs) > 0) {
            char buf[256];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, size_t(n));
            waitMs = 20;
        }
        return out;
    }
    int keep = -1;
};

std::string reportedText, reportedCaption;
void CaptureReport(const char* text, const char* caption) {
    reportedText = text;
    reportedCaption = caption;
}

TEST_F(PortLayer, SerialDriverWritesReadsPurgesAndLeavesTheRecordToTheCaller) {
    Pty pty;
    ASSERT_FALSE(pty.slave.isEmpty());
    Publish(9, pty.slave);
    const UpsPortOps* ops = QtSerialPortOps();
    static _ZozeUps ups;  // large; kept off the stack
    std::memset(&ups, 0, sizeof ups);
    ups.comPort = 9;
    ups.baudRate = 0;  // devices without a rate of their own still open
    ASSERT_EQ(ops->open(&ups), 0);
    ASSERT_NE(ups.portHandle, nullptr);

    const uint8_t frame[] = {0x80, 'S', '0', '0', '0', '0', '0', '1', '9', '3'};
    EXPECT_EQ(ops->write(frame, sizeof frame, &ups), 10);
    EXPECT_EQ(pty.ReadAvailable(2000), std::string(reinterpret_cast<const char*>(frame), sizeof frame));

    const _ZozeUps before = ups;
    char dest[64];
    uint32_t error = 0;
    ASSERT_EQ(::write(pty.master, "\x80S", 2), 2);
    EXPECT_EQ(ops->read(dest, 2, &error, &ups), 2);
    EXPECT_EQ(std::string(dest, 2), "\x80S");

    // Fewer characters than wanted: what came is returned once the limit passes.
    ASSERT_EQ(::write(pty.master, "12345", 5), 5);
    EXPECT_EQ(ops->read(dest, 10, &error, &ups), 5);
    EXPECT_EQ(std::string(dest, 5), "12345");

    // Nothing at all: no characters and an error code other than "still pending".
    EXPECT_EQ(ops->read(dest, 4, &error, &ups), 0);
    EXPECT_NE(error, 0u);
    EXPECT_NE(error, uint32_t(ERROR_IO_PENDING_CODE));
    EXPECT_EQ(std::memcmp(&before, &ups, sizeof ups), 0) << "reads leave the record alone";

    // Stale characters are gone after a purge.
    ASSERT_EQ(::write(pty.master, "stale", 5), 5);
    pty.ReadAvailable(50);  // let them land on the link's side
    ops->purge(PORT_PURGE_RX | PORT_PURGE_TX, &ups);
    EXPECT_EQ(ops->read(dest, 1, &error, &ups), 0);

    ops->close(&ups);
    EXPECT_EQ(ups.portHandle, nullptr);
    ops->close(&ups);  // closing twice is harmless
}

TEST_F(PortLayer, OpenFailureReportsTheSystemTextUnderGetLastError) {
    SetPortErrorReporter(&CaptureReport);
    const UpsPortOps* ops = QtSerialPortOps();
    static _ZozeUps ups;
    std::memset(&ups, 0, sizeof ups);

    Publish(11, Path("no-such-device"));
    ups.comPort = 11;
    reportedText.clear();
    EXPECT_EQ(ops->open(&ups), -3) << "nothing at the name: an adapter that is not plugged in";
    EXPECT_EQ(reportedCaption, "GetLastError");
    EXPECT_EQ(reportedText.rfind("COM11 (" + Path("no-such-device").toStdString() + "): ", 0), 0u) << reportedText;
    EXPECT_NE(reportedText.find("No such file"), std::string::npos) << reportedText;
    EXPECT_EQ(ups.portHandle, nullptr);

    ups.comPort = 500;  // names no device at all
    reportedText.clear();
    EXPECT_EQ(ops->open(&ups), -3);
    EXPECT_EQ(reportedText.rfind("COM500: ", 0), 0u) << reportedText;

    // A node that exists but is no serial line cannot be set up as one.
    Publish(12, Path("Tralvane"));
    ups.comPort = 12;
    reportedText.clear();
    EXPECT_EQ(ops->open(&ups), -1);
    EXPECT_EQ(reportedText.rfind("COM12 (", 0), 0u) << reportedText;

    SetPortErrorReporter(nullptr);
}

}  // namespace
}  // namespace e2e
