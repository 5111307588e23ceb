// How a COM number names a device on this system.
//
// 1. The port directory ($XDG_CONFIG_HOME/Tralvane/ports, default ~/.config/Tralvane/ports) may
//    hold an entry COM<n>, a symbolic link to a device (COM5 -> /dev/ttyUSB0). The simulator and
//    the tests publish their pseudo-terminals there.
// 2. Otherwise COM1-COM32 are /dev/ttyS0-31, COM33-COM64 /dev/ttyUSB0-31 and COM65-COM96
//    /dev/ttyACM0-31.
// The first rule that matches wins. On Windows COM n is simply \\.\COM<n>, and the ports are the
// ones the system reports under their COM names.
#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

enum class PortNaming { Posix, Windows };
#ifdef Q_OS_WIN
constexpr PortNaming kNativePortNaming = PortNaming::Windows;
#else
constexpr PortNaming kNativePortNaming = PortNaming::Posix;
#endif

struct ComPortEntry {
    int number;          // n of COM<n>
    QString name;        // "COM<n>"
    QString devicePath;  // the device it names (the link's target for directory entries)
};

// The port directory's path (it need not exist).
QString PortDirectory();

// The device that COM n names, or an empty string when n names none (n < 1, or n beyond the
// fixed ranges with no directory entry).
QString DevicePathForComPort(int n, PortNaming naming = kNativePortNaming);

// The COM number of a port the system reports (by its name and system location), or 0 when
// it has none under the naming's rules.
int ComNumberOfSystemPort(const QString& portName, const QString& systemLocation,
                          PortNaming naming = kNativePortNaming);

// What a port chooser offers: the directory's COM<n> entries in numeric order, then every port
// the system reports that the fixed ranges map to a COM number, each number once. On Windows:
// every COM<n> port the system reports, in numeric order.
QList<ComPortEntry> ListComPorts();
