#include "link/port/port_directory.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QStandardPaths>

#include <algorithm>
#include <set>

namespace {

// COM1-32 -> ttyS0-31, COM33-64 -> ttyUSB0-31, COM65-96 -> ttyACM0-31.
struct FixedRange {
    int firstCom;
    const char* prefix;
};
constexpr FixedRange kRanges[] = {{1, "/dev/ttyS"}, {33, "/dev/ttyUSB"}, {65, "/dev/ttyACM"}};
constexpr int kRangeSize = 32;

QString FixedDeviceFor(int n) {
    for (const FixedRange& r : kRanges)
        if (n >= r.firstCom && n < r.firstCom + kRangeSize)
            return QString::fromLatin1(r.prefix) + QString::number(n - r.firstCom);
    return {};
}

// The COM number that the fixed ranges give a device path, or 0.
int FixedComFor(const QString& devicePath) {
    static const QRegularExpression re(QStringLiteral("^/dev/tty(S|USB|ACM)(\\d+)$"));
    const auto m = re.match(devicePath);
    if (!m.hasMatch()) return 0;
    bool ok = false;
    const int index = m.captured(2).toInt(&ok);
    if (!ok || index < 0 || index >= kRangeSize) return 0;
    const QString kind = m.captured(1);
    if (kind == QLatin1String("S")) return 1 + index;
    if (kind == QLatin1String("USB")) return 33 + index;
    return 65 + index;
}

QString EntryTarget(const QFileInfo& entry) {
    if (entry.isSymLink()) return entry.symLinkTarget();
    return entry.absoluteFilePath();
}

// COM<n> entries of the port directory, sorted by n. Names like "COM007" or "COM0" are not
// entries: the number must be written as COM n would be.
QList<ComPortEntry> DirectoryEntries() {
    QList<ComPortEntry> out;
    QDir dir(PortDirectory());
    if (!dir.exists()) return out;
    static const QRegularExpression re(QStringLiteral("^COM([1-9]\\d{0,5})$"));
    const QFileInfoList infos =
        dir.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QFileInfo& info : infos) {
        const auto m = re.match(info.fileName());
        if (!m.hasMatch()) continue;
        const int n = m.captured(1).toInt();
        out.append({n, QStringLiteral("COM%1").arg(n), EntryTarget(info)});
    }
    std::sort(out.begin(), out.end(),
              [](const ComPortEntry& a, const ComPortEntry& b) { return a.number < b.number; });
    return out;
}

}  // namespace

QString PortDirectory() {
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (base.isEmpty()) base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/Tralvane/ports");
}

QString DevicePathForComPort(int n, PortNaming naming) {
    if (n < 1) return {};
    if (naming == PortNaming::Windows) return QStringLiteral("\\\\.\\COM%1").arg(n);
    const QFileInfo entry(PortDirectory() + QStringLiteral("/COM") + QString::number(n));
    // exists() follows the link; a dangling link still names the device it points at, so the
    // open fails with the system's own reason instead of silently falling back.
    if (entry.exists() || entry.isSymLink()) return EntryTarget(entry);
    return FixedDeviceFor(n);
}

int ComNumberOfSystemPort(const QString& portName, const QString& systemLocation, PortNaming naming) {
    if (naming == PortNaming::Posix) return FixedComFor(systemLocation);
    static const QRegularExpression re(QStringLiteral("^COM([1-9]\\d{0,5})$"),
                                       QRegularExpression::CaseInsensitiveOption);
    const auto m = re.match(portName);
    return m.hasMatch() ? m.captured(1).toInt() : 0;
}

QList<ComPortEntry> ListComPorts() {
    QList<ComPortEntry> out;
    if (kNativePortNaming == PortNaming::Posix) out = DirectoryEntries();
    std::set<int> taken;
    for (const ComPortEntry& e : out) taken.insert(e.number);

    QList<ComPortEntry> system;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo& info : ports) {
        const int n = ComNumberOfSystemPort(info.portName(), info.systemLocation());
        if (n == 0 || taken.count(n)) continue;
        taken.insert(n);
        system.append({n, QStringLiteral("COM%1").arg(n), DevicePathForComPort(n)});
    }
    std::sort(system.begin(), system.end(),
              [](const ComPortEntry& a, const ComPortEntry& b) { return a.number < b.number; });
    out.append(system);
    return out;
}
