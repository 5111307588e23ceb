#include "link/port/serial_port.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QSerialPort>
#include <QThread>

#include <cerrno>
#include <cstring>

#include "link/port/port_directory.h"
#include "link/port/port_errors.h"

namespace {

// Error codes left for the trace line after a read that brought nothing. The link counts any
// code other than "still pending" as a failed read.
constexpr uint32_t kReadTimedOut = ETIMEDOUT;
constexpr uint32_t kReadFailed = EIO;
constexpr uint32_t kNotOpen = EBADF;

constexpr int kWriteWaitMs = 2000;
// Longest nap between two looks at a reply still on its way (see NapForRestOfReply).
constexpr qint64 kMaxNapMs = 20;

QSerialPort* PortOf(_ZozeUps* ups) { return static_cast<QSerialPort*>(ups->portHandle); }

void ClosePort(_ZozeUps* ups) {
    QSerialPort* port = PortOf(ups);
    ups->portHandle = nullptr;
    if (!port) return;
    port->close();
    delete port;
}

// Opens the device that COM n names and sets the line to 8N1 at rate, no flow control. On
// failure: nullptr, the system's reason, and -1 (cannot open) or -2 (cannot configure).
QSerialPort* OpenLine(int comPort, int rate, QString* reason, int* failure) {
    const QString device = DevicePathForComPort(comPort);
    if (device.isEmpty()) {
        *reason = QString::fromLocal8Bit(std::strerror(ENOENT));
        *failure = -1;
        return nullptr;
    }
    auto* port = new QSerialPort;
    port->setPortName(device);
    if (!port->open(QIODevice::ReadWrite)) {
        *reason = port->errorString();
        *failure = -1;
        delete port;
        return nullptr;
    }
    const bool configured = port->setBaudRate(rate) && port->setDataBits(QSerialPort::Data8) &&
                            port->setParity(QSerialPort::NoParity) &&
                            port->setStopBits(QSerialPort::OneStop) &&
                            port->setFlowControl(QSerialPort::NoFlowControl);
    if (!configured) {
        *reason = port->errorString();
        *failure = -2;
        port->close();
        delete port;
        return nullptr;
    }
    return port;
}

// Devices 1-3 have no bit-rate setting of their own and arrive here with 0; a line cannot run
// at 0 bit/s, so they get the usual 9600.
int LineRate(int baudRate) { return baudRate > 0 ? baudRate : 9600; }

int OpenPort(_ZozeUps* ups) {
    ClosePort(ups);

    QString reason;
    int failure = 0;
    QSerialPort* port = OpenLine(ups->comPort, LineRate(ups->baudRate), &reason, &failure);
    if (!port) {
        if (failure == -1) ReportPortError(reason.toLocal8Bit().constData(), "GetLastError");
        return failure;
    }

    // Both modem lines low. Pseudo-terminals refuse modem-line requests; that is no reason to
    // give up the port.
    port->setRequestToSend(false);
    port->setDataTerminalReady(false);
    port->clearError();

    port->clear(QSerialPort::Output);
    port->clear(QSerialPort::Input);
    port->clearError();

    ups->portHandle = port;
    return 0;
}

int WritePort(const uint8_t* data, int len, _ZozeUps* ups) {
    QSerialPort* port = PortOf(ups);
    if (!port || len <= 0) return 0;
    const qint64 queued = port->write(reinterpret_cast<const char*>(data), len);
    if (queued <= 0) {
        port->clearError();
        return 0;
    }
    QDeadlineTimer deadline(kWriteWaitMs);
    while (port->bytesToWrite() > 0 && !deadline.hasExpired()) {
        if (!port->waitForBytesWritten(int(deadline.remainingTime()))) break;
    }
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
// that length (capped, and never past the read's limit) lets them gather without delaying the
// reply. A whole reply that arrives at once never takes it.
void NapForRestOfReply(const QSerialPort* port, int missing, const QDeadlineTimer& deadline) {
    const qint32 rate = port->baudRate();
    if (missing <= 0 || rate <= 0) return;
    const qint64 wireMs = qint64(missing) * 10 * 1000 / rate;  // 10 bits per character
    const qint64 nap = qMin(qMin(wireMs, kMaxNapMs), deadline.remainingTime());
    if (nap > 0) QThread::msleep(quint64(nap));
}

int ReadPort(char* dest, int wanted, uint32_t* error, _ZozeUps* ups) {
    if (error) *error = 0;
    QSerialPort* port = PortOf(ups);
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
    while (got < wanted) {
        const qint64 available = port->bytesAvailable();
        if (available > 0) {
            const qint64 n = port->read(dest + got, qMin<qint64>(available, wanted - got));
            if (n > 0) {
                got += int(n);
                if (got < wanted) NapForRestOfReply(port, wanted - got, deadline);
                continue;
            }
        }
        if (deadline.hasExpired()) break;
        if (!port->waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())))) {
            if (port->error() != QSerialPort::TimeoutError &&
                port->error() != QSerialPort::NoError) {
                // The device went away or refused to read: it will not answer before the
                // limit either, so wait the limit out instead of spinning on the error.
                failed = true;
                port->clearError();
                const qint64 left = deadline.remainingTime();
                if (left > 0) QThread::msleep(quint64(left));
                break;
            }
            port->clearError();
        }
    }
    if (got == 0 && error) *error = failed ? kReadFailed : kReadTimedOut;
    return got;
}

void PurgePort(int which, _ZozeUps* ups) {
    QSerialPort* port = PortOf(ups);
    if (!port) return;
    if (which & PORT_PURGE_TX) port->clear(QSerialPort::Output);
    if (which & PORT_PURGE_RX) port->clear(QSerialPort::Input);
    port->clearError();
}

const UpsPortOps kQtOps = {&OpenPort, &WritePort, &ReadPort, &PurgePort, &ClosePort};

}  // namespace

const UpsPortOps* QtSerialPortOps() { return &kQtOps; }

bool TryComPort(int comPort, int baudRate, QString* reason) {
    int failure = 0;
    QSerialPort* port = OpenLine(comPort, LineRate(baudRate), reason, &failure);
    if (!port) return false;
    port->close();
    delete port;
    return true;
}
