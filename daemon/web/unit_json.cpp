#include "daemon/web/unit_json.h"

#include <cmath>
#include <cstring>

#include "daemon/ups_variables.h"
#include "daemon/web/json_text.h"
#include "daemon/web/remote_nut.h"

namespace web {

namespace {

// The panel's rules: rated bars are green up to 80 % of the rating, then yellow, red from the
// rating on; fixed thresholds are already yellow at the first one.
const char* Rated(double v, double lower, double limit) { return v <= lower ? "green" : v < limit ? "yellow" : "red"; }
const char* Threshold(double v, double yellowFrom, double redFrom) {
    return v < yellowFrom ? "green" : v < redFrom ? "yellow" : "red";
}

bool HasWord(const std::string& words, std::string_view word) {
    size_t at = 0;
    while ((at = words.find(word, at)) != std::string::npos) {
        const size_t end = at + word.size();
        if ((at == 0 || words[at - 1] == ' ') && (end == words.size() || words[end] == ' ')) return true;
        at = end;
    }
    return false;
}

const std::string* VariableValue(const nut::UnitBoard::Unit& unit, std::string_view name) {
    const auto it = unit.index.find(name);
    return it == unit.index.end() ? nullptr : &unit.variables[it->second].value;
}

void AppendVariableOrNull(std::string* out, const nut::UnitBoard::Unit& unit, std::string_view name) {
    const std::string* value = VariableValue(unit, name);
    if (value)
        AppendJsonVariable(out, *value);
    else
        *out += "null";
}

// Every variable as "name":value, numbers as JSON numbers.
void AppendVariables(std::string* out, const std::vector<nut::Variable>& variables) {
    bool first = true;
    for (const nut::Variable& v : variables) {
        if (!first) *out += ',';
        first = false;
        AppendJsonString(out, v.name);
        *out += ':';
        AppendJsonVariable(out, v.value);
    }
}

}  // namespace

std::vector<Gauge> PanelGauges(const _ZozeUps& ups) {
    const UpsStatusBlock& s = ups.status;
    std::vector<Gauge> gauges;
    gauges.reserve(10);
    if (s.powerUnits != 0) {
        const double watts = double(s.powerUnits) * 5000;
        const double n = std::trunc(watts / 50.0);
        const double currentMax = 1 - std::trunc(n * -1.1);
        const double powerMax = (1 - std::trunc(watts * 1.1 / -100)) * 100;
        const double ibatt = ups.auxWord[1], iout = ups.auxWord[6];
        const double pout = double(int64_t(ups.auxWordB[2]) * int64_t(ups.auxWord[6])) / 10.0;
        gauges.push_back({"battery.current", "Battery current", "A", ibatt, 0, currentMax, Rated(ibatt, 0.8 * n, n)});
        gauges.push_back({"output.current", "Output current", "A", iout, 0, currentMax, Rated(iout, 0.8 * n, n)});
        // The unit's own real power, which ups.realpower and the runtime estimate use; then the
        // panel's figure, which is another quantity and often far from it.
        gauges.push_back({"ups.realpower", "Real power", "W", s.outputPower, 0, powerMax,
                          Rated(s.outputPower, 0.8 * watts, watts)});
        gauges.push_back({"output.power", "P out [W]", "W", pout, 0, powerMax, Rated(pout, 0.8 * watts, watts),
                          "the panel's figure: battery voltage × output current, not the real power"});
    }
    const double vbatt = ups.auxWordB[2] / 10.0;
    const double blocks = s.currentUnits;
    gauges.push_back({"battery.voltage", "Battery voltage", "V", vbatt, 0, 15 * blocks,
                      vbatt < 10.5 * blocks ? "red" : vbatt < 11.0 * blocks ? "yellow" : "green"});
    // Mains-like bounds: the panel's 2 to 400 Hz leaves 50 Hz a sliver at the left.
    gauges.push_back({"output.frequency", "Output frequency", "Hz", s.outputFrequency, 40, 70, "green"});
    gauges.push_back({"battery.temperature", "Battery temperature", "°C", s.batteryTemperature, -25, 60,
                      Threshold(s.batteryTemperature, 35, 40)});
    gauges.push_back({"heatsink.temperature", "Heat sink", "°C", s.inverterTemperature, 0, 80,
                      Threshold(s.inverterTemperature, 65, 70)});
    gauges.push_back({"ups.temperature", "Case temperature", "°C", s.caseTemperature, 0, 60,
                      Threshold(s.caseTemperature, 70, 75)});
    const double vhp = s.internalVoltage1;
    gauges.push_back({"vhp", "VHP", "V", vhp, 0, 200,
                      std::isnan(vhp) ? "red" : std::trunc(vhp) < 150 ? "green" : std::trunc(vhp) < 160 ? "yellow" : "red"});
    const double load = s.powerPercent;
    gauges.push_back({"ups.load", "Load", "%", load, 0, 100, load < 80 ? "green" : load < 100 ? "yellow" : "red"});
    return gauges;
}

namespace {

const char* StatusColour(const std::string& words, const std::string* alarm) {
    if ((alarm && !alarm->empty()) || HasWord(words, "ALARM") || HasWord(words, "LB") || HasWord(words, "OVER") ||
        HasWord(words, "FSD"))
        return "red";
    if (HasWord(words, "OB") || HasWord(words, "OFF")) return "amber";
    return "green";
}

}  // namespace

const char* StateColour(const nut::UnitBoard::Unit& unit, bool stale) {
    if (unit.linkLost && unit.last) return "red";
    if (!unit.last || !unit.haveStatus || stale) return "grey";
    const std::string* status = VariableValue(unit, "ups.status");
    return StatusColour(status ? *status : std::string(), VariableValue(unit, "ups.alarm"));
}

std::string UnitJson(const nut::UnitBoard::Unit& unit, const UnitTimes& times) {
    std::string out;
    out.reserve(4096);
    out += "{\"name\":";
    AppendJsonString(&out, unit.name);
    out += ",\"description\":";
    AppendJsonString(&out, unit.description);
    out += ",\"port\":";
    AppendJsonString(&out, "COM" + std::to_string(unit.comPort));

    std::string text;
    if (unit.last) {
        text.assign(unit.last->stateText, strnlen(unit.last->stateText, sizeof unit.last->stateText));
        if (unit.last->status.flags12 & 0x4000) text += " ECO MODE ";
    }
    const std::string* status = VariableValue(unit, "ups.status");
    out += ",\"state\":{\"text\":";
    AppendJsonString(&out, text);
    out += ",\"status\":";
    AppendJsonString(&out, status ? *status : std::string());
    out += ",\"colour\":\"";
    out += StateColour(unit, times.stale);
    out += "\",\"stale\":";
    out += times.stale ? "true" : "false";
    out += ",\"linkLost\":";
    out += unit.linkLost && unit.last ? "true" : "false";
    out += ",\"haveData\":";
    out += unit.haveStatus ? "true" : "false";
    out += ",\"since\":";
    if (times.sinceMs) AppendJsonInteger(&out, times.sinceMs); else out += "null";
    out += ",\"lastRefresh\":";
    if (times.lastRefreshMs) AppendJsonInteger(&out, times.lastRefreshMs); else out += "null";
    out += "}";

    out += ",\"battery\":{\"charge\":";
    AppendVariableOrNull(&out, unit, "battery.charge");
    out += ",\"runtime\":";
    AppendVariableOrNull(&out, unit, "battery.runtime");
    out += "}";

    out += ",\"gauges\":[";
    if (unit.last && unit.haveStatus) {
        bool first = true;
        for (const Gauge& g : PanelGauges(*unit.last)) {
            if (!first) out += ',';
            first = false;
            out += "{\"key\":\"";
            out += g.key;
            out += "\",\"label\":";
            AppendJsonString(&out, g.label);
            out += ",\"unit\":";
            AppendJsonString(&out, g.unit);
            out += ",\"value\":";
            AppendJsonNumber(&out, g.value);
            out += ",\"min\":";
            AppendJsonNumber(&out, g.min);
            out += ",\"max\":";
            AppendJsonNumber(&out, g.max);
            out += ",\"colour\":\"";
            out += g.colour;
            out += '"';
            if (g.note) {
                out += ",\"note\":";
                AppendJsonString(&out, g.note);
            }
            out += '}';
        }
    }
    out += "],\"variables\":{";
    AppendVariables(&out, unit.variables);
    out += "},\"commands\":[";
    bool first = true;
    for (const nut::InstantCommand& c : nut::InstantCommands()) {
        if (!first) out += ',';
        first = false;
        AppendJsonString(&out, c.name);
    }
    out += "]}";
    return out;
}

std::string RemoteUnitJson(const RemoteUnit& unit, qint64 sinceMs) {
    auto find = [&unit](std::string_view name) -> const std::string* {
        for (const nut::Variable& v : unit.variables)
            if (v.name == name) return &v.value;
        return nullptr;
    };
    const std::string* status = find("ups.status");
    const std::string words = status ? *status : std::string();
    // The state in words, from the status flags a NUT server gives.
    std::string text;
    if (!unit.reachable)
        text = unit.problem.empty() ? "No data" : "No data: " + unit.problem;
    else if (HasWord(words, "OB"))
        text = HasWord(words, "LB") ? "On battery, low battery" : "On battery";
    else if (HasWord(words, "OL"))
        text = HasWord(words, "BYPASS") ? "On line, bypass" : "On line";
    else if (HasWord(words, "OFF"))
        text = "Off";
    else
        text = words;
    const bool stale = !unit.reachable;

    std::string out = "{\"name\":";
    AppendJsonString(&out, unit.name);
    out += ",\"description\":";
    AppendJsonString(&out, unit.description);
    out += ",\"port\":\"\",\"remote\":true,\"state\":{\"text\":";
    AppendJsonString(&out, text);
    out += ",\"status\":";
    AppendJsonString(&out, words);
    out += ",\"colour\":\"";
    out += stale ? "grey" : StatusColour(words, find("ups.alarm"));
    out += "\",\"stale\":";
    out += stale ? "true" : "false";
    out += ",\"linkLost\":false,\"haveData\":";
    out += unit.lastGoodMs ? "true" : "false";
    out += ",\"since\":";
    if (sinceMs) AppendJsonInteger(&out, sinceMs); else out += "null";
    out += ",\"lastRefresh\":";
    if (unit.lastGoodMs) AppendJsonInteger(&out, unit.lastGoodMs); else out += "null";
    out += "},\"battery\":{\"charge\":";
    if (const std::string* v = find("battery.charge")) AppendJsonVariable(&out, *v); else out += "null";
    out += ",\"runtime\":";
    if (const std::string* v = find("battery.runtime")) AppendJsonVariable(&out, *v); else out += "null";
    out += "},\"gauges\":[],\"variables\":{";
    AppendVariables(&out, unit.variables);
    out += "},\"commands\":[]}";
    return out;
}

}  // namespace web
