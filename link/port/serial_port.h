// The link's serial backend on QSerialPort. Every operation runs on the link thread, which also
// owns the QSerialPort objects (portHandle of each record).
#pragma once

#include <QString>

#include "link/ups_link.h"

const UpsPortOps* QtSerialPortOps();

// Opens COM n as the link would (8N1 at baudRate, 0 meaning 9600) and closes it again, so a
// port can be checked before it is saved. false with the system's reason when it cannot.
// Runs on the caller's thread; never waits on the device.
bool TryComPort(int comPort, int baudRate, QString* reason);
