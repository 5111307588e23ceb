// The link's serial backend on QSerialPort. Every operation runs on the link thread, which also
// owns the QSerialPort objects (portHandle of each record).
#pragma once

#include "link/ups_link.h"

const UpsPortOps* QtSerialPortOps();
