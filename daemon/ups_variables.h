// What a NUT client sees of one unit: the standard variable names filled from a snapshot of the
// unit's record, the ups.status words derived from the state the panel presents, and the unit's
// instant commands.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "link/battery_estimate.h"
#include "link/ups_link.h"

namespace nut {

struct Variable {
    std::string name;
    std::string value;
};

// The battery estimate of a unit and the settings it was made with; without one, only the
// voltage tells low battery and no charge or runtime is served.
struct BatteryView {
    BatteryEstimate estimate;
    const BatterySettings* settings = nullptr;
};

// The unit's state in NUT status words ("OL CHRG", "OB DISCHRG LB", ...) and the alarm texts
// behind ALARM. fsd: the forced-shutdown latch a primary upsmon set on this server.
struct StatusWords {
    std::string status;
    std::string alarm;  // empty when nothing is alarming
};
StatusWords DeriveStatus(const _ZozeUps& unit, bool fsd, const BatteryView* battery = nullptr);

// Every variable the record carries a standard name for, sorted by name. NaN or infinite
// measurements are left out rather than sent as text a client cannot parse.
std::vector<Variable> BuildVariables(const _ZozeUps& unit, bool fsd, int comPort, const BatteryView* battery = nullptr);

// A short description of a variable or command; empty when there is none.
std::string_view VariableDescription(std::string_view name);
std::string_view CommandDescription(std::string_view name);

// Instant commands and the KeybCommand type each one queues, exactly as the window would.
struct InstantCommand {
    const char* name;
    int keybType;
    bool takesParameter;  // test.battery.start: the test's argument word, 0 to 65535
    int commandCode;      // the link command that carries it out, which tracking follows
};
const std::vector<InstantCommand>& InstantCommands();
const InstantCommand* FindInstantCommand(std::string_view name);

}  // namespace nut
