#include "daemon/web/prometheus_metrics.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace web {

using namespace std::string_view_literals;

namespace {

constexpr std::string_view kPrefix = "network_ups_tools_";

// Flags that always get a series, 0 when the unit does not report them, so an alert on
// flag="OB" == 1 has a series to look at before the first power cut.
constexpr std::array<std::string_view, 15> kKnownFlags = {
    "OL", "OB", "LB", "HB", "RB", "CHRG", "DISCHRG", "BYPASS", "CAL", "OFF", "OVER", "TRIM", "BOOST", "FSD", "SD"};

// The device.* texts the info series carries, in the exporter's label order.
constexpr std::array<std::string_view, 9> kInfoLabels = {
    "contact", "description", "location", "macaddr", "mfr", "model", "part", "serial", "type"};

// Names and versions that can look like numbers ("1.4", "0042") but are not readings: as
// gauges they would come and go with the text.
constexpr std::array<std::string_view, 10> kIdentifiers = {
    "driver.version", "driver.version.internal", "driver.version.data", "ups.firmware", "ups.firmware.aux",
    "ups.serial", "ups.id", "ups.productid", "ups.vendorid", "battery.type"};

// Families written by hand; a variable that would land on one of them is left out.
constexpr std::array<std::string_view, 3> kReserved = {"device_info", "ups_status", "up"};

char NameChar(char c) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    return ok ? c : '_';
}

void AppendName(std::string& out, std::string_view variable) {
    out += kPrefix;
    const size_t at = out.size();
    out += variable;
    for (size_t i = at; i < out.size(); ++i) out[i] = NameChar(out[i]);
}

// Length of the well-formed UTF-8 sequence at s[i], 0 when it is not one.
size_t Utf8Length(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // the second byte's range
    if (c >= 0xC2 && c <= 0xDF) n = 2;
    else if (c >= 0xE0 && c <= 0xEF) n = 3, lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    else if (c >= 0xF0 && c <= 0xF4) n = 4, lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    if (n == 0 || i + n > s.size() || b(i + 1) < lo || b(i + 1) > hi) return 0;
    for (size_t k = 2; k < n; ++k)
        if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
    return n;
}

// Label values: backslash, double quote and line feed escaped. A unit's texts can carry bytes
// that are not UTF-8, and Prometheus rejects the whole scrape for one: those become '?'.
void AppendLabel(std::string& out, std::string_view value) {
    if (std::none_of(value.begin(), value.end(), [](char c) {
            return c == '\\' || c == '"' || c == '\n' || static_cast<unsigned char>(c) >= 0x80;
        })) {
        out += value;
        return;
    }
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (static_cast<unsigned char>(c) >= 0x80) {
            const size_t n = Utf8Length(value, i);
            if (n == 0) {
                out += '?';
            } else {
                out += value.substr(i, n);
                i += n - 1;
            }
            continue;
        }
        switch (c) {
        case '\\': out += "\\\\"sv; break;
        case '"': out += "\\\""sv; break;
        case '\n': out += "\\n"sv; break;
        default: out += c;
        }
    }
}

// HELP text: only backslash and line feed are escaped there.
void AppendHelpText(std::string& out, std::string_view text) {
    if (std::none_of(text.begin(), text.end(), [](char c) { return c == '\\' || c == '\n'; })) {
        out += text;
        return;
    }
    for (char c : text) {
        if (c == '\\') out += "\\\\"sv;
        else if (c == '\n') out += "\\n"sv;
        else out += c;
    }
}

void AppendHeader(std::string& out, std::string_view family, std::string_view help) {
    out += "# HELP "sv;
    out += family;
    out += ' ';
    AppendHelpText(out, help);
    out += "\n# TYPE "sv;
    out += family;
    out += " gauge\n"sv;
}

void AppendUps(std::string& out, std::string_view unit) {
    out += "{ups=\""sv;
    AppendLabel(out, unit);
    out += '"';
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool IsDecimal(std::string_view s) {
    size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        size_t exponent = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++exponent;
        if (exponent == 0) return false;
    }
    return i == s.size();
}

const std::string* Find(const std::vector<nut::Variable>& variables, std::string_view name) {
    for (const nut::Variable& v : variables)
        if (v.name == name) return &v.value;
    return nullptr;
}

const std::string* FindDevice(const std::vector<nut::Variable>& variables, std::string_view field) {
    for (const nut::Variable& v : variables) {
        const std::string_view name = v.name;
        if (name.size() == 7 + field.size() && name.starts_with("device.") && name.ends_with(field)) return &v.value;
    }
    return nullptr;
}

struct Sample {
    uint32_t nameAt, nameSize;  // the family name after the prefix, in a shared buffer
    std::string_view variable;
    std::string_view value;
    uint32_t unit;
};

}  // namespace

std::string MetricName(std::string_view variable) {
    std::string out;
    out.reserve(kPrefix.size() + variable.size());
    AppendName(out, variable);
    return out;
}

bool MetricValue(std::string_view text, std::string_view& value) {
    if (IsDecimal(text)) {
        value = text;
        return true;
    }
    for (std::string_view on : {"enable", "enabled", "on", "true", "active", "activated"})
        if (EqualNoCase(text, on)) {
            value = "1";
            return true;
        }
    for (std::string_view off : {"disable", "disabled", "off", "false", "inactive", "deactivated"})
        if (EqualNoCase(text, off)) {
            value = "0";
            return true;
        }
    return false;
}

std::string PrometheusText(const std::vector<MetricsUnit>& units) {
    // A name given twice would make duplicate series, and Prometheus drops a whole scrape for
    // one of those: the later unit of that name is left out.
    std::vector<const MetricsUnit*> shown;
    std::vector<const MetricsUnit*> live;  // fresh data on a working link
    shown.reserve(units.size());
    live.reserve(units.size());
    size_t variableCount = 0;
    for (const MetricsUnit& u : units) {
        if (std::any_of(shown.begin(), shown.end(), [&](const MetricsUnit* s) { return s->name == u.name; }))
            continue;
        shown.push_back(&u);
        // Before the first answer there is nothing to publish, and up would claim otherwise.
        if (!u.stale && !u.linkLost && u.variables && !u.variables->empty()) {
            live.push_back(&u);
            variableCount += u.variables->size();
        }
    }

    std::string out;
    out.reserve(1024 + shown.size() * 512 + live.size() * 1400 + variableCount * 120);

    // The device's identity as labels of one constant series.
    if (!live.empty()) {
        AppendHeader(out, "network_ups_tools_device_info", "UPS device information");
        for (const MetricsUnit* u : live) {
            out += "network_ups_tools_device_info"sv;
            AppendUps(out, u->name);
            for (std::string_view label : kInfoLabels) {
                out += ',';
                out += label;
                out += "=\""sv;
                if (const std::string* v = FindDevice(*u->variables, label)) AppendLabel(out, *v);
                out += '"';
            }
            out += "} 1\n"sv;
        }
    }

    // Every variable with a numeric value, one family per name, grouped across units.
    std::vector<Sample> samples;
    samples.reserve(variableCount);
    std::string names;  // every sample's family name, made once: sorting compares them often
    names.reserve(variableCount * 24);
    for (uint32_t i = 0; i < live.size(); ++i) {
        for (const nut::Variable& v : *live[i]->variables) {
            std::string_view name = v.name;
            // device.* texts are the info series' labels; the uptime is the one reading there.
            if (name.starts_with("device.") && name != "device.uptime") continue;
            if (std::find(kIdentifiers.begin(), kIdentifiers.end(), name) != kIdentifiers.end()) continue;
            std::string_view value;
            if (!MetricValue(v.value, value)) continue;
            const size_t at = names.size();
            names += name;
            for (size_t k = at; k < names.size(); ++k) names[k] = NameChar(names[k]);
            samples.push_back({uint32_t(at), uint32_t(name.size()), name, value, i});
        }
    }
    const std::string_view all = names;
    auto key = [all](const Sample& s) { return all.substr(s.nameAt, s.nameSize); };
    std::sort(samples.begin(), samples.end(), [&](const Sample& a, const Sample& b) {
        const int c = key(a).compare(key(b));
        return c != 0 ? c < 0 : a.unit < b.unit;
    });
    std::string family;
    for (size_t i = 0; i < samples.size();) {
        const std::string_view suffix = key(samples[i]);
        size_t end = i + 1;
        while (end < samples.size() && key(samples[end]) == suffix) ++end;
        if (std::find(kReserved.begin(), kReserved.end(), suffix) == kReserved.end()) {
            family.assign(kPrefix);
            family += suffix;
            const std::string_view variable = samples[i].variable;
            const std::string_view description = nut::VariableDescription(variable);
            if (description.empty()) {
                std::string help = "NUT variable ";
                help += variable;
                AppendHeader(out, family, help);
            } else {
                AppendHeader(out, family, description);
            }
            for (size_t k = i; k < end; ++k) {
                // Two names of one unit that differ only in punctuation: the first one wins.
                if (k > i && samples[k].unit == samples[k - 1].unit) continue;
                out += family;
                AppendUps(out, live[samples[k].unit]->name);
                out += "} "sv;
                out += samples[k].value;
                out += '\n';
            }
        }
        i = end;
    }

    // ups.status as one series per flag: the reported ones 1, the known ones not reported 0.
    bool statusHeader = false;
    for (const MetricsUnit* u : live) {
        const std::string* status = Find(*u->variables, "ups.status");
        if (!status) continue;
        if (!statusHeader) {
            AppendHeader(out, "network_ups_tools_ups_status", "UPS status flag (1 when the unit reports it)");
            statusHeader = true;
        }
        std::vector<std::string_view> reported;
        std::string_view rest = *status;
        while (!rest.empty()) {
            const size_t space = rest.find(' ');
            std::string_view word = rest.substr(0, space);
            if (!word.empty()) reported.push_back(word);
            rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
        }
        std::vector<std::string_view> flags(kKnownFlags.begin(), kKnownFlags.end());
        flags.insert(flags.end(), reported.begin(), reported.end());
        std::sort(flags.begin(), flags.end());
        flags.erase(std::unique(flags.begin(), flags.end()), flags.end());
        for (std::string_view flag : flags) {
            out += "network_ups_tools_ups_status"sv;
            AppendUps(out, u->name);
            out += ",flag=\""sv;
            AppendLabel(out, flag);
            out += "\"} "sv;
            out += std::find(reported.begin(), reported.end(), flag) != reported.end() ? '1' : '0';
            out += '\n';
        }
    }

    if (shown.empty()) return out;
    auto perUnit = [&](std::string_view family, std::string_view help, auto value) {
        AppendHeader(out, family, help);
        for (const MetricsUnit* u : shown) {
            out += family;
            AppendUps(out, u->name);
            out += "} "sv;
            out += value(*u) ? '1' : '0';
            out += '\n';
        }
    };
    perUnit("network_ups_tools_up", "1 when the unit's readings are current, 0 when they are not published",
            [&](const MetricsUnit& u) {
                return std::find(live.begin(), live.end(), &u) != live.end();
            });
    perUnit("vesperod_ups_link_lost", "1 while the serial link to the unit is lost",
            [](const MetricsUnit& u) { return u.linkLost; });
    perUnit("vesperod_ups_stale", "1 while the unit's data is older than the stale limit",
            [](const MetricsUnit& u) { return u.stale; });
    return out;
}

}  // namespace web
