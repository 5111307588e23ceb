#include "link/port/serial_port.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QSerialPort>
#include <QThread>

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "link/link_core.h"
#include "link/port/port_directory.h"
#include "link/port/port_errors.h"

namespace {

// Error codes left for the trace line after a read that brought nothing. The link counts any
// code other than "still pending" as a failed read.
constexpr uint32_t kReadTimedOut = ETIMEDOUT;
constexpr uint32_t kNotOpen = EBADF;

constexpr int kWriteWaitMs = 2000;
// Longest nap between two looks at a reply still on its way, until the line has shown that it
// runs at its bit rate (see NapForRestOfReply).
constexpr qint64 kMaxNapMs = 20;

// One link of the way COM n leads to its device, as it was written.
struct LinkStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    timespec mtime{};
    bool operator==(const LinkStamp& o) const {
        return dev == o.dev && ino == o.ino && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
    }
};
using EntryStamp = std::vector<LinkStamp>;

// The port-directory entry of COM n and the symbolic links it leads through: a bridge (socat,
// ser2net) may publish its terminal under a link of its own that the entry points at. Empty when
// there is no entry.
EntryStamp StampOfEntry(int comPort) {
    EntryStamp out;
    QByteArray path = QFile::encodeName(PortDirectory() + QStringLiteral("/COM") + QString::number(comPort));
    for (int hop = 0; hop < 16; ++hop) {
        struct stat st {};
        if (::lstat(path.constData(), &st) != 0) break;
        // The device node itself is no part of it: a terminal's node comes and goes with it.
        if (hop > 0 && !S_ISLNK(st.st_mode)) break;
        out.push_back({st.st_dev, st.st_ino, st.st_mtim});
        if (!S_ISLNK(st.st_mode)) break;
        char target[PATH_MAX];
        const ssize_t n = ::readlink(path.constData(), target, sizeof target);
        if (n <= 0 || size_t(n) >= sizeof target) break;
        const QByteArray next(target, int(n));
        if (next.startsWith('/')) {
            path = next;
        } else {
            path.truncate(path.lastIndexOf('/') + 1);
            path += next;
        }
    }
    return out;
}

// Unix98 pseudo-terminal slaves. Their numbers are handed out again at once, so a lost one's
// name soon belongs to somebody else's terminal.
bool IsPseudoTerminal(const struct stat& st) {
    return S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

// COM ports whose pseudo-terminal was lost, with their entry as it was when that terminal was
// opened. Such a port opens again only once its entry has been written anew.
std::mutex lostTerminalsMutex;
std::map<int, EntryStamp> lostTerminals;

// What a record's portHandle points at: the port and what it was opened as, so that a device
// that goes away or is replaced under its name can be told from one that is merely silent.
struct OpenLine {
    QSerialPort port;
    int comPort = 0;
    QString device;  // the path COM n named when it was opened
    struct stat identity {};
    EntryStamp entry;    // COM n's entry when the device was opened
    QString lostReason;  // set once the line is found unusable; the link then reopens it
};

OpenLine* LineOf(_ZozeUps* ups) { return static_cast<OpenLine*>(ups->portHandle); }

QString PortLabel(int comPort, const QString& device) {
    return device.isEmpty() ? QStringLiteral("COM%1").arg(comPort)
                            : QStringLiteral("COM%1 (%2)").arg(comPort).arg(device);
}

QString SystemText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

QString UserName(uid_t uid) {
    std::vector<char> buffer(4096);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return QString::fromLocal8Bit(found->pw_name);
    return QString::number(uid);
}

QString GroupName(gid_t gid) {
    std::vector<char> buffer(4096);
    struct group entry {};
    struct group* found = nullptr;
    if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return QString::fromLocal8Bit(found->gr_name);
    return QString::number(gid);
}

// What would let this process open a device it was refused, naming the user it runs as: under
// the service that is "vesperod", not the administrator reading the log.
QString PermissionHint(const QString& device) {
    struct stat st {};
    const QByteArray path = QFile::encodeName(device);
    if (::stat(path.constData(), &st) != 0) return {};
    const QString user = UserName(::geteuid());
    if (::access(path.constData(), R_OK | W_OK) == 0) return {};
    // access() asks the device rules around the process too (a systemd unit's DevicePolicy= and
    // DeviceAllow=); they refuse with EPERM where the file's modes refuse with EACCES.
    // Pseudo-terminal numbers change with every one made, so their whole group is named.
    if (errno == EPERM)
        return QStringLiteral(". The device rules this process runs under do not admit %1 "
                              "(for vesperod.service: a drop-in with DeviceAllow=%2 rw)")
            .arg(device, IsPseudoTerminal(st) ? QStringLiteral("char-pts") : device);
    if (errno != EACCES) return {};
    // A pseudo-terminal is read by its owner only (mode 0620): no group helps, its maker must
    // run as the same user.
    if (IsPseudoTerminal(st))
        return QStringLiteral(". A pseudo-terminal opens only for the user who made it, here %1: "
                              "run its program (vespero-sim, socat, ...) as %2")
            .arg(UserName(st.st_uid), user);
    const QString group = GroupName(st.st_gid);
    return QStringLiteral(". The user %1 must be in the group that owns the device, \"%2\" "
                          "(sudo adduser %1 %2, then log in again or restart the service)")
        .arg(user, group);
}

// The serial lock file QSerialPort keeps for a device: LCK..<name under /dev/, '/' as '_'> in
// the first of the usual lock folders that holds one.
QString LockFilePath(const QString& device) {
    QString name = device;
    if (name.startsWith(QLatin1String("/dev/"))) name.remove(0, 5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const char* folder : {"/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp", "/tmp", "/var/tmp",
                               "/var/lock/lockdev", "/run/lock"}) {
        const QString path = QLatin1String(folder) + QLatin1String("/LCK..") + name;
        if (QFile::exists(path)) return path;
    }
    return {};
}

// "is in use by process 1234 (vespero)" when a live process holds the device's lock file; empty
// otherwise. The number is the lock file's first line, in ASCII as every holder writes it; the
// name is the system's for that process, else the lock file's second line.
QString HolderOf(const QString& device) {
    const QString path = LockFilePath(device);
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) return {};
    const QList<QByteArray> lines = file.read(4096).split('\n');
    bool ok = false;
    const qint64 pid = lines.value(0).trimmed().toLongLong(&ok);
    if (!ok || pid <= 0 || pid > INT_MAX || (::kill(pid_t(pid), 0) != 0 && errno != EPERM)) return {};
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    QString name = comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll().trimmed()) : QString();
    if (name.isEmpty()) name = QString::fromLocal8Bit(lines.value(1).trimmed());
    return name.isEmpty() ? QStringLiteral("is in use by process %1").arg(pid)
                          : QStringLiteral("is in use by process %1 (%2)").arg(pid).arg(name);
}

// Our lock file is made with the process's umask (a service's may be 0077); others must be able
// to read who holds the port.
void ShareLockFile(const QString& device) {
    const QString path = LockFilePath(device);
    if (!path.isEmpty()) ::chmod(QFile::encodeName(path).constData(), 0644);
}

void Report(PortEvent event, const OpenLine& line, const QString& reason) {
    ReportPortStatus(event, line.comPort, PortLabel(line.comPort, line.device).toLocal8Bit().constData(),
                     reason.toLocal8Bit().constData());
}

void MarkLost(OpenLine* line, const QString& reason) {
    if (!line->lostReason.isEmpty()) return;
    line->lostReason = reason.isEmpty() ? SystemText(EIO) : reason;
    if (IsPseudoTerminal(line->identity)) {
        std::lock_guard<std::mutex> lock(lostTerminalsMutex);
        lostTerminals[line->comPort] = line->entry;
    }
    Report(PortEvent::Lost, *line, line->lostReason);
}

// Why a port that failed a read or write is lost. Qt's own text for a hang-up is whatever errno
// last held; a removed node says more.
void MarkFailed(OpenLine* line) {
    struct stat st {};
    if (::stat(QFile::encodeName(line->device).constData(), &st) != 0)
        MarkLost(line, QStringLiteral("the device is gone (%1)").arg(SystemText(errno)));
    else if (line->port.error() == QSerialPort::ResourceError)
        MarkLost(line, QStringLiteral("the device hung up or failed (%1)").arg(SystemText(EIO)));
    else
        MarkLost(line, line->port.errorString());
}

// Whether COM n still names the device that is open: the entry may now point elsewhere (a
// replugged adapter that came back under another name) or the node may be gone. A silent
// unit's port passes; a replaced one does not.
bool StillTheSameDevice(OpenLine* line) {
    const QString now = DevicePathForComPort(line->comPort);
    if (now != line->device) {
        MarkLost(line, QStringLiteral("COM%1 now names %2").arg(line->comPort).arg(now.isEmpty() ? QStringLiteral("no device") : now));
        return false;
    }
    struct stat st {};
    if (::stat(QFile::encodeName(now).constData(), &st) != 0) {
        MarkLost(line, SystemText(errno));
        return false;
    }
    if (st.st_rdev != line->identity.st_rdev || st.st_ino != line->identity.st_ino) {
        MarkLost(line, QStringLiteral("the device was replaced"));
        return false;
    }
    return true;
}

void ClosePort(_ZozeUps* ups) {
    OpenLine* line = LineOf(ups);
    ups->portHandle = nullptr;
    if (!line) return;
    line->port.close();
    delete line;
}

// Opens the device that COM n names and sets the line to 8N1 at rate, no flow control. On
// failure: nullptr, the reason (naming the port and its device), and -1 (cannot open), -2
// (cannot configure) or -3 (no device at that name).
OpenLine* OpenComPort(int comPort, int rate, QString* reason, int* failure) {
    // Taken before the entry is read: a rewrite in between then counts as a rewrite.
    EntryStamp entry = StampOfEntry(comPort);
    const QString device = DevicePathForComPort(comPort);
    if (device.isEmpty()) {
        *reason = PortLabel(comPort, device) + QStringLiteral(": ") + SystemText(ENOENT);
        *failure = -3;
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(lostTerminalsMutex);
        const auto lost = lostTerminals.find(comPort);
        if (lost != lostTerminals.end() && lost->second == entry) {
            // Waiting costs a look at the entry per retry, so it is retried as a missing device.
            *reason = PortLabel(comPort, device) +
                      QStringLiteral(": its pseudo-terminal was lost; waiting for COM%1 to be published anew").arg(comPort);
            *failure = -3;
            return nullptr;
        }
        if (lost != lostTerminals.end()) lostTerminals.erase(lost);
    }
    auto line = std::make_unique<OpenLine>();
    line->comPort = comPort;
    line->device = device;
    line->entry = std::move(entry);
    QSerialPort& port = line->port;
    port.setPortName(device);
    if (!port.open(QIODevice::ReadWrite)) {
        if (const QString holder = HolderOf(device); !holder.isEmpty()) {
            *reason = PortLabel(comPort, device) + QLatin1Char(' ') + holder;
            *failure = -1;
            return nullptr;
        }
        *reason = PortLabel(comPort, device) + QStringLiteral(": ") + port.errorString();
        if (port.error() != QSerialPort::DeviceNotFoundError) *reason += PermissionHint(device);
        *failure = port.error() == QSerialPort::DeviceNotFoundError ? -3 : -1;
        return nullptr;
    }
    const bool configured = port.setBaudRate(rate) && port.setDataBits(QSerialPort::Data8) &&
                            port.setParity(QSerialPort::NoParity) &&
                            port.setStopBits(QSerialPort::OneStop) &&
                            port.setFlowControl(QSerialPort::NoFlowControl);
    if (!configured) {
        *reason = PortLabel(comPort, device) + QStringLiteral(": ") + port.errorString();
        *failure = -2;
        port.close();
        return nullptr;
    }
    if (::fstat(int(port.handle()), &line->identity) != 0) line->identity = {};
    ShareLockFile(device);
    return line.release();
}

// Devices 1-3 have no bit-rate setting of their own and arrive here with 0; a line cannot run
// at 0 bit/s, so they get the usual 9600.
int LineRate(int baudRate) { return baudRate > 0 ? baudRate : 9600; }

int OpenPort(_ZozeUps* ups) {
    ClosePort(ups);

    QString reason;
    int failure = 0;
    OpenLine* line = OpenComPort(ups->comPort, LineRate(ups->baudRate), &reason, &failure);
    const bool retry = PortOpenIsRetry();
    if (!line) {
        if (retry) {
            ReportPortStatus(PortEvent::Unavailable, ups->comPort,
                             PortLabel(ups->comPort, DevicePathForComPort(ups->comPort)).toLocal8Bit().constData(),
                             reason.toLocal8Bit().constData());
        } else if (failure != -2) {
            ReportPortError(reason.toLocal8Bit().constData(), "GetLastError");
        }
        return failure;
    }
    QSerialPort* port = &line->port;

    // Both modem lines low. Pseudo-terminals refuse modem-line requests; that is no reason to
    // give up the port.
    port->setRequestToSend(false);
    port->setDataTerminalReady(false);
    port->clearError();

    port->clear(QSerialPort::Output);
    port->clear(QSerialPort::Input);
    port->clearError();

    ups->portHandle = line;
    if (retry) Report(PortEvent::Reopened, *line, {});
    return 0;
}

int WritePort(const uint8_t* data, int len, _ZozeUps* ups) {
    OpenLine* line = LineOf(ups);
    if (!line || len <= 0 || !line->lostReason.isEmpty()) return 0;
    QSerialPort* port = &line->port;
    const qint64 queued = port->write(reinterpret_cast<const char*>(data), len);
    if (queued <= 0) {
        // The read that follows finds the port lost and the link reopens it.
        if (port->error() == QSerialPort::ResourceError || port->error() == QSerialPort::WriteError)
            MarkFailed(line);
        port->clearError();
        return 0;
    }
    QDeadlineTimer deadline(kWriteWaitMs);
    while (port->bytesToWrite() > 0 && !deadline.hasExpired()) {
        if (!port->waitForBytesWritten(int(deadline.remainingTime()))) break;
    }
    if (port->error() == QSerialPort::ResourceError || port->error() == QSerialPort::WriteError)
        MarkFailed(line);
    const qint64 unsent = port->bytesToWrite();
    if (unsent > 0) {
        // Whatever could not go out now must not trail into the next frame.
        port->clear(QSerialPort::Output);
    }
    port->clearError();
    return int(queued - unsent);
}

// A slow line hands over a reply a character or two at a time, and waking for each one costs
// more than the whole exchange is worth (at 9600 bit/s about a thousand wakeups a second). The
// characters still missing cannot all be here before their wire time has passed, so a nap of
// that length (never past the read's limit) lets them gather without delaying the reply. A
// pseudo-terminal ignores the bit rate, though, and may hand over the rest at once: the nap is
// capped until the line has been seen to bring no more in a nap than its rate allows. A whole
// reply that arrives at once never takes it. Returns the nap taken.
qint64 NapForRestOfReply(const QSerialPort* port, int missing, bool paced, const QDeadlineTimer& deadline) {
    const qint32 rate = port->baudRate();
    if (missing <= 0 || rate <= 0) return 0;
    const qint64 wireMs = qint64(missing) * 10 * 1000 / rate;  // 10 bits per character
    const qint64 nap = qMin(paced ? wireMs : qMin(wireMs, kMaxNapMs), deadline.remainingTime());
    if (nap > 0) QThread::msleep(quint64(nap));
    return qMax<qint64>(nap, 0);
}

// Whether `arrived` characters in `napMs` are no more than the line's rate could carry (with a
// character's slack either side of the nap).
bool AtLineRate(const QSerialPort* port, qint64 arrived, qint64 napMs) {
    return napMs > 0 && arrived <= napMs * port->baudRate() / 10000 + 2;
}

int ReadPort(char* dest, int wanted, uint32_t* error, _ZozeUps* ups) {
    if (error) *error = 0;
    OpenLine* line = LineOf(ups);
    if (line && !line->lostReason.isEmpty()) {
        if (error) *error = UPS_PORT_LOST;
        return 0;
    }
    QSerialPort* port = line ? &line->port : nullptr;
    if (!port) {
        // Nothing to wait on, but the pass must not turn into a spin: take the time a
        // timed-out read would.
        QThread::msleep(500);
        if (error) *error = kNotOpen;
        return 0;
    }
    if (wanted <= 0) return 0;

    QDeadlineTimer deadline(500 + 5 * qint64(wanted));
    int got = 0;
    bool failed = false;
    qint64 lastNapMs = 0;
    int gotBeforeNap = 0;
    bool paced = false;
    while (got < wanted) {
        const qint64 available = port->bytesAvailable();
        if (available > 0) {
            const qint64 n = port->read(dest + got, qMin<qint64>(available, wanted - got));
            if (n > 0) {
                got += int(n);
                if (got < wanted) {
                    if (lastNapMs > 0) paced = AtLineRate(port, got - gotBeforeNap, lastNapMs);
                    gotBeforeNap = got;
                    lastNapMs = NapForRestOfReply(port, wanted - got, paced, deadline);
                }
                continue;
            }
        }
        if (deadline.hasExpired()) break;
        if (!port->waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())))) {
            if (port->error() != QSerialPort::TimeoutError &&
                port->error() != QSerialPort::NoError) {
                // The device went away or refused to read: the link closes the port and opens
                // it again, paced by its own retry timer.
                MarkFailed(line);
                port->clearError();
                failed = true;
                break;
            }
            port->clearError();
        }
    }
    // Nothing came: a silent unit, or a device that is gone or replaced under its name.
    if (got == 0 && !failed) failed = !StillTheSameDevice(line);
    if (got == 0 && error) *error = failed ? UPS_PORT_LOST : kReadTimedOut;
    return got;
}

void PurgePort(int which, _ZozeUps* ups) {
    OpenLine* line = LineOf(ups);
    if (!line) return;
    QSerialPort* port = &line->port;
    if (which & PORT_PURGE_TX) port->clear(QSerialPort::Output);
    if (which & PORT_PURGE_RX) port->clear(QSerialPort::Input);
    port->clearError();
}

const UpsPortOps kQtOps = {&OpenPort, &WritePort, &ReadPort, &PurgePort, &ClosePort};

}  // namespace

const UpsPortOps* QtSerialPortOps() { return &kQtOps; }

bool TryComPort(int comPort, int baudRate, QString* reason) {
    int failure = 0;
    std::unique_ptr<OpenLine> line(OpenComPort(comPort, LineRate(baudRate), reason, &failure));
    return line != nullptr;
}
