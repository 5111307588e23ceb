// A board with one unit on line, a recorded command queue and a clock the test moves.
#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include "daemon/nut/nut_session.h"
#include "daemon/unit_board.h"

namespace daemontest {

struct QueuedCommand {
    int type, device, value;
};

inline std::vector<QueuedCommand>& Queued() {
    static std::vector<QueuedCommand> queued;
    return queued;
}

inline int RecordCommand(int type, int device, int value, int) {
    Queued().push_back({type, device, value});
    return 1;
}

inline qint64& Now() {
    static qint64 now = 1000;
    return now;
}
inline qint64 TestClock() { return Now(); }

// A unit on line and charging, 54 V on four blocks, as the panel would see it.
inline std::unique_ptr<_ZozeUps> OnLineUnit() {
    auto u = std::make_unique<_ZozeUps>();
    std::memset(u.get(), 0, sizeof *u);
    u->status.stateCode = 2;
    u->status.flags12 = 0x0200;
    u->status.batteryVoltage = 54.0;
    u->status.currentUnits = 4;
    u->status.powerUnits = 1;
    u->status.powerPercent = 20;
    u->status.batteryTemperature = 25;
    u->status.inverterTemperature = 45;
    u->status.caseTemperature = 30;
    u->status.internalVoltage1 = 140;
    u->status.ccbStatus = 1;
    std::strcpy(u->stateText, "On_Line");
    std::strcpy(u->firmwareVersion, "1.04");
    u->present = 1;
    u->comPort = 1;
    return u;
}

inline nut::DaemonConfig TestConfig() {
    nut::DaemonConfig c;
    for (int i = 0; i < 4; ++i) {
        c.unitName[i] = QStringLiteral("vespero%1").arg(i);
        c.unitDescription[i] = QStringLiteral("Rack \"A\" unit %1").arg(i);
    }
    c.staleAfterSeconds = 15;
    return c;
}

}  // namespace daemontest
