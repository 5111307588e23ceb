#include "daemon/ups_variables.h"
#include "daemon/nut/nut_words.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace nut {
namespace {

// snprintf follows the process locale (Qt sets it from the environment); NUT wants a dot.
std::string Fixed(double v, int decimals) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    return std::string(buf, r.ptr);
}

std::string Text(const char* field, size_t width) {
    const size_t n = strnlen(field, width);
    std::string s(field, n);
    // Trailing blanks pad fixed-width unit texts.
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) == 0x7F) c = '?';
    return s;
}

bool IsFaultReason(int reason) {
    switch (reason) {
    case 2: case 3: case 4: case 5: case 6: case 7:  // internal voltages, line sync, VAPC
    case 11: case 12: case 14: case 15: case 16: case 17: case 18:
        return true;
    default:
        return false;
    }
}

void AddWord(std::string* words, const char* word) {
    if (!words->empty()) *words += ' ';
    *words += word;
}

void AddAlarm(std::string* alarms, const std::string& text) {
    if (!alarms->empty()) *alarms += "; ";
    *alarms += text;
}

}  // namespace

StatusWords DeriveStatus(const _ZozeUps& unit, bool fsd, const BatteryView* battery) {
    const UpsStatusBlock& s = unit.status;
    StatusWords out;
    std::string words;
    if (fsd) AddWord(&words, "FSD");

    static const BatterySettings defaults;
    const bool haveEstimate = battery && battery->settings;
    const bool lowBattery = BatteryIsLow(unit, haveEstimate ? *battery->settings : defaults,
                                         haveEstimate ? &battery->estimate : nullptr);
    switch (s.stateCode) {
    case 2:
        AddWord(&words, "OL");
        if (s.flags12 & 0x0200) AddWord(&words, "CHRG");
        break;
    case 4:
        AddWord(&words, "OL");
        AddWord(&words, "BYPASS");
        break;
    case 16: case 17: case 18:
        AddWord(&words, "OB");
        AddWord(&words, "DISCHRG");
        break;
    case 0: case 1: case 3:
        // Starting before the inverter runs, or stand-by: the output is not supplied.
        AddWord(&words, "OFF");
        break;
    default: {
        char text[48];
        std::snprintf(text, sizeof text, "Unknown state code %u", unsigned(s.stateCode));
        AddAlarm(&out.alarm, text);
        break;
    }
    }
    if (lowBattery) AddWord(&words, "LB");
    // A unit at exactly its rating is not overloaded.
    const bool overload = s.powerPercent > 100 || (s.stateCode == 3 && s.standbyReason == 13);
    if (overload) AddWord(&words, "OVER");

    if (s.stateCode == 3 && IsFaultReason(s.standbyReason))
        AddAlarm(&out.alarm, Text(unit.stateText, sizeof unit.stateText));
    // The fixed-threshold gauges of the panel that show red.
    if (!(s.batteryTemperature < 40)) AddAlarm(&out.alarm, "T Batt [C] high");
    if (!(s.inverterTemperature < 70)) AddAlarm(&out.alarm, "THeat [C] high");
    if (!(s.caseTemperature < 75)) AddAlarm(&out.alarm, "T Case [C] high");
    if (!(std::trunc(s.internalVoltage1) < 160)) AddAlarm(&out.alarm, "VHP [V] high");
    if (!out.alarm.empty()) AddWord(&words, "ALARM");
    out.status = words;
    return out;
}

std::vector<Variable> BuildVariables(const _ZozeUps& unit, bool fsd, int comPort, const BatteryView* battery) {
    const UpsStatusBlock& s = unit.status;
    std::vector<Variable> v;
    v.reserve(40);
    auto num = [&](const char* name, double value, int decimals) {
        if (std::isfinite(value)) v.push_back({name, Fixed(value, decimals)});
    };
    auto integer = [&](const char* name, long long value) { v.push_back({name, std::to_string(value)}); };
    auto text = [&](const char* name, std::string value) {
        if (!value.empty()) v.push_back({name, std::move(value)});
    };

    const StatusWords status = DeriveStatus(unit, fsd, battery);
    const long long ratedWatts = 5000LL * s.powerUnits;
    const double blocks = double(s.currentUnits);

    num("battery.voltage", s.batteryVoltage, 1);
    // The battery's own current comes with the auxiliary answer, read every few cycles.
    const bool haveAux = std::any_of(std::begin(unit.auxWord), std::end(unit.auxWord), [](int32_t w) { return w != 0; }) ||
                         std::any_of(std::begin(unit.auxWordB), std::end(unit.auxWordB), [](int32_t w) { return w != 0; });
    if (haveAux) num("battery.current", unit.auxWord[1], 1);
    num("battery.temperature", s.batteryTemperature, 1);
    const BatterySettings* bs = battery ? battery->settings : nullptr;
    if (blocks > 0) {
        num("battery.voltage.nominal", 12.0 * blocks, 1);
        num("battery.voltage.low", (bs ? bs->lowVolts : 10.5) * blocks, 1);
    }
    if (bs) {
        const BatteryEstimate& e = battery->estimate;
        if (e.haveCharge) num("battery.charge", std::round(e.charge), 0);
        if (e.haveRuntime) num("battery.runtime", std::round(e.runtime), 0);
        num("battery.charge.low", bs->chargeLow, 0);
        num("battery.runtime.low", bs->runtimeLow, 0);
    }
    switch (s.ccbStatus) {
    case 1: case 2: text("battery.charger.status", "charging"); break;
    case 3: text("battery.charger.status", "floating"); break;
    default: text("battery.charger.status", "discharging"); break;
    }
    if (unit.protocolAddsRead.batteryAh > 0) integer("battery.capacity", unit.protocolAddsRead.batteryAh);

    std::string mfr = Text(unit.protocolAddsRead.manufacturer, sizeof unit.protocolAddsRead.manufacturer);
    if (mfr.empty()) mfr = "Tralvane";
    std::string model = Text(unit.protocolAddsRead.modelName, sizeof unit.protocolAddsRead.modelName);
    if (model.empty()) model = ratedWatts > 0 ? "Vespero " + std::to_string(ratedWatts / 1000) + " kW" : "Vespero";
    const std::string serial = Text(unit.serialNumberRead, sizeof unit.serialNumberRead);
    const std::string part = Text(unit.productCodeRead, sizeof unit.productCodeRead);
    text("device.mfr", mfr);
    text("device.model", model);
    text("device.serial", serial);
    text("device.part", part);
    text("device.type", "ups");

    text("driver.name", "vesperod");
    text("driver.version", VESPERO_VERSION);
    text("driver.parameter.port", "COM" + std::to_string(comPort));

    num("input.voltage", s.inputVoltage, 1);
    num("input.frequency", s.inputFrequency, 1);
    num("output.voltage", s.outputVoltage, 1);
    num("output.current", s.outputCurrent, 1);
    num("output.frequency", s.outputFrequency, 1);

    text("ups.alarm", status.alarm);
    text("ups.firmware", Text(unit.firmwareVersion, sizeof unit.firmwareVersion));
    integer("ups.load", s.powerPercent);
    text("ups.mfr", mfr);
    text("ups.model", model);
    if (ratedWatts > 0) {
        integer("ups.power.nominal", ratedWatts);
        integer("ups.realpower.nominal", ratedWatts);
    }
    num("ups.realpower", s.outputPower, 0);
    text("ups.serial", serial);
    text("ups.status", status.status);
    num("ups.temperature", s.caseTemperature, 1);

    const bool anyTest = unit.batteryTestStatus || unit.batteryTestTime[0] || unit.batteryTestTime[1] ||
                         unit.batteryTestValue[0] || unit.batteryTestValue[1] ||
                         unit.batteryTestValue[2] || unit.batteryTestValue[3];
    if (anyTest) {
        char result[64];
        std::snprintf(result, sizeof result, "Done, status 0x%04X", unsigned(unit.batteryTestStatus) & 0xFFFFu);
        text("ups.test.result", result);
    } else {
        text("ups.test.result", "No test initiated");
    }

    std::sort(v.begin(), v.end(), [](const Variable& a, const Variable& b) { return a.name < b.name; });
    return v;
}

namespace {

struct Description {
    const char* name;
    const char* text;
};

// Our own wording; names follow the NUT variable list.
const Description kVariableDescriptions[] = {
    {"battery.capacity", "Battery capacity (Ah)"},
    {"battery.charge", "Battery charge (percent), estimated from what the battery has given at its rates"},
    {"battery.charge.low", "Charge below which the battery counts as low (percent)"},
    {"battery.charger.status", "Charging phase of the battery"},
    {"battery.current", "Battery current (A)"},
    {"battery.runtime", "Time left on battery (seconds), estimated"},
    {"battery.runtime.low", "Runtime below which the battery counts as low (seconds)"},
    {"battery.temperature", "Battery temperature (degrees C)"},
    {"battery.voltage", "Battery voltage (V)"},
    {"battery.voltage.low", "Battery voltage below which the battery counts as low (V)"},
    {"battery.voltage.nominal", "Nominal battery voltage (V)"},
    {"device.mfr", "Manufacturer"},
    {"device.model", "Model"},
    {"device.part", "Product code"},
    {"device.serial", "Serial number"},
    {"device.type", "Kind of device"},
    {"driver.name", "Program serving this unit"},
    {"driver.parameter.port", "Serial port of the unit"},
    {"driver.version", "Version of the program serving this unit"},
    {"input.frequency", "Generator (input) frequency (Hz)"},
    {"input.voltage", "Input voltage (V)"},
    {"input.voltage.nominal", "Nominal input voltage (V)"},
    {"output.current", "Output current (A)"},
    {"output.frequency", "Output frequency (Hz)"},
    {"output.voltage", "Output voltage (V)"},
    {"ups.alarm", "Alarms the unit shows"},
    {"ups.firmware", "Firmware version"},
    {"ups.load", "Load on the output (percent of rating)"},
    {"ups.mfr", "Manufacturer"},
    {"ups.model", "Model"},
    {"ups.power.nominal", "Rated power (VA, taken as the rated real power)"},
    {"ups.realpower", "Output real power (W)"},
    {"ups.realpower.nominal", "Rated real power (W)"},
    {"ups.serial", "Serial number"},
    {"ups.status", "Status"},
    {"ups.temperature", "Case temperature (degrees C)"},
    {"ups.test.result", "Result of the last battery test"},
};

const std::vector<InstantCommand> kCommands = {
    {"battery.charge.start", KEYB_RECHARGE, false, CMD_RECHARGE},
    {"test.battery.start", KEYB_TEST_BATTERY, true, CMD_TEST_BATTERY},
};

const Description kCommandDescriptions[] = {
    {"battery.charge.start", "Recharge the battery now"},
    {"test.battery.start", "Start a battery test"},
};

template <size_t N>
std::string_view Find(const Description (&table)[N], std::string_view name) {
    for (const Description& d : table)
        if (EqualNoCase(name, d.name)) return d.text;
    return {};
}

}  // namespace

std::string_view VariableDescription(std::string_view name) { return Find(kVariableDescriptions, name); }
std::string_view CommandDescription(std::string_view name) { return Find(kCommandDescriptions, name); }

const std::vector<InstantCommand>& InstantCommands() { return kCommands; }

const InstantCommand* FindInstantCommand(std::string_view name) {
    for (const InstantCommand& c : kCommands)
        if (EqualNoCase(name, c.name)) return &c;
    return nullptr;
}

}  // namespace nut
