#include "app/data_log.h"

#include <QDir>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const char kDataLogHeader[] = "Date,Time,Frgen,Vbatt,Iout,Pout,PowerPerc,CCBStatus,Tbatt,Ibatt\r\n";

namespace {
// Integer part as text without any conversion to an integer type: exact for every finite
// value, "nan"/"inf" otherwise. Adding 0.0 turns -0 into 0.
double Whole(double v) { return std::trunc(v) + 0.0; }

QString ErrorText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }
}  // namespace

QByteArray FormatLogRow(const UpsStatusBlock& s, std::time_t now) {
    char date[32] = "";
    char time[32] = "";
    std::tm local{};
    if (localtime_r(&now, &local)) {
        if (std::strftime(date, sizeof date, "%d/%m/%Y", &local) == 0) date[0] = '\0';
        if (std::strftime(time, sizeof time, "%H:%M", &local) == 0) time[0] = '\0';
    }
    char row[512];
    const int n = std::snprintf(row, sizeof row, "%s,%s,%.1f,%.1f,%.0f,%.0f,%u,%u,%.1f,%.1f\r\n",
                                date, time, s.inputFrequency, s.batteryVoltage,
                                Whole(s.outputCurrent), Whole(s.outputPower),
                                unsigned(s.powerPercent), unsigned(s.ccbStatus),
                                s.batteryTemperature, s.inputCurrent);
    if (n < 0) return {};
    if (n < int(sizeof row)) return QByteArray(row, n);
    // Only absurd magnitudes get here ("%.0f" of 1e300 has 301 digits); format them in full.
    QByteArray big(n + 1, '\0');
    std::snprintf(big.data(), big.size(), "%s,%s,%.1f,%.1f,%.0f,%.0f,%u,%u,%.1f,%.1f\r\n", date,
                  time, s.inputFrequency, s.batteryVoltage, Whole(s.outputCurrent),
                  Whole(s.outputPower), unsigned(s.powerPercent), unsigned(s.ccbStatus),
                  s.batteryTemperature, s.inputCurrent);
    big.chop(1);
    return big;
}

QString AppendLogRow(const char* path, const QByteArray& row) {
    struct stat st {};
    bool created = false;
    int fd = -1;
    if (::stat(path, &st) != 0) {
        fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0666);
        created = fd >= 0;
        if (fd < 0 && errno == EEXIST) fd = ::open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
    } else {
        fd = ::open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
    }
    if (fd < 0) return ErrorText(errno);

    off_t previous = 0;
    bool regular = false;
    if (::fstat(fd, &st) == 0) {
        previous = st.st_size;
        regular = S_ISREG(st.st_mode);
    }

    QByteArray bytes;
    if (created) bytes.append(kDataLogHeader);
    bytes.append(row);

    // One write normally carries the whole row; after a short one the rest is tried once more,
    // which either completes the row or reports why the space ran out.
    const char* data = bytes.constData();
    size_t left = size_t(bytes.size());
    int code = 0;
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            code = n < 0 ? errno : ENOSPC;
            break;
        }
        data += n;
        left -= size_t(n);
    }

    QString error;
    if (code != 0) {
        error = ErrorText(code);
        if (created) {
            ::unlink(path);  // the next attempt starts a fresh file with its header
        } else if (regular && left < size_t(bytes.size())) {
            if (::ftruncate(fd, previous) != 0) {
                // The error above is reported either way.
            }
        }
    }
    if (::close(fd) != 0 && error.isEmpty()) error = ErrorText(errno);
    return error;
}

QString DesktopDataFolder() {
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (!QDir::isAbsolutePath(base)) base = QDir::homePath() + QStringLiteral("/.local/share");
    return base + QStringLiteral("/Tralvane");
}

QString EnterDesktopDataFolder() {
    const QString folder = DesktopDataFolder();
    if (!QDir().mkpath(folder)) return QStringLiteral("cannot make %1: %2").arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
    if (!QDir::setCurrent(folder)) return QStringLiteral("cannot enter %1: %2").arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
    return QString();
}
