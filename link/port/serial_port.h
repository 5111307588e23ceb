// The link's serial backend on QSerialPort. Every operation runs on the link thread, which also
// owns the port objects (portHandle of each record).
#pragma once

#include <QString>

#include "link/ups_link.h"

const UpsPortOps* QtSerialPortOps();

// Opens COM n as the link would (8N1 at baudRate, 0 meaning 9600) and closes it again, so a
// port can be checked before it is saved. false when it cannot, with the reason: the port, its
// device and the system's text, e.g. "COM1 (/dev/ttyUSB0): Permission denied" and a hint.
// Runs on the caller's thread; never waits on the device.
bool TryComPort(int comPort, int baudRate, QString* reason);
