#include "discharge_table.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <locale>
#include <sstream>

namespace {

std::string Trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return {};
    const size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

// A number written with a dot, whatever the process locale says.
bool Number(const std::string& text, double* out) {
    std::istringstream in(Trim(text));
    in.imbue(std::locale::classic());
    double v = 0;
    in >> v;
    if (in.fail() || !in.eof() || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

bool Fail(std::string* error, int line, const std::string& why) {
    if (error) *error = "line " + std::to_string(line) + ": " + why;
    return false;
}

// Log-log line through two rows, evaluated at a current.
double Along(const DischargePoint& a, const DischargePoint& b, double ampsPerAh) {
    const double slope = std::log(b.seconds / a.seconds) / std::log(b.ampsPerAh / a.ampsPerAh);
    return a.seconds * std::exp(slope * std::log(ampsPerAh / a.ampsPerAh));
}

}  // namespace

bool ParseDischargeTable(const std::string& text, DischargeTable* out, std::string* error) {
    DischargeTable t;
    double capacity = 0;
    bool heading = false;
    std::vector<std::pair<double, double>> rows;  // minutes, amperes
    std::istringstream lines(text);
    std::string line;
    int n = 0;
    while (std::getline(lines, line)) {
        ++n;
        line = Trim(line);
        if (line.empty()) continue;
        if (line[0] == '#') {
            t.source += Trim(line.substr(1)) + "\n";
            continue;
        }
        const size_t comma = line.find(',');
        if (comma == std::string::npos || line.find(',', comma + 1) != std::string::npos)
            return Fail(error, n, "expected two fields separated by a comma");
        const std::string first = Trim(line.substr(0, comma)), second = Trim(line.substr(comma + 1));
        if (first == "capacity_ah") {
            if (!Number(second, &capacity) || !(capacity >= 0.01 && capacity <= 100000))
                return Fail(error, n, "capacity_ah must be from 0.01 to 100000 ampere-hours");
            continue;
        }
        if (first == "minutes") {
            if (second != "amps") return Fail(error, n, "the heading must be minutes,amps");
            heading = true;
            continue;
        }
        double minutes = 0, amps = 0;
        if (!heading) return Fail(error, n, "rows must follow the heading minutes,amps");
        if (!Number(first, &minutes) || !Number(second, &amps) || !(minutes > 0 && minutes <= 1e6) ||
            !(amps > 0 && amps <= 1e6))
            return Fail(error, n, "minutes and amps must be positive numbers (at most a million)");
        if (!rows.empty() && !(minutes > rows.back().first && amps < rows.back().second) &&
            !(minutes < rows.back().first && amps > rows.back().second))
            return Fail(error, n, "a longer time must come with a smaller current");
        rows.push_back({minutes, amps});
    }
    if (!(capacity > 0)) return Fail(error, n, "capacity_ah is missing");
    if (rows.size() < 2) return Fail(error, n, "at least two rows are needed");
    // Both orders are accepted; the rows must go one way throughout.
    for (size_t i = 2; i < rows.size(); ++i)
        if ((rows[i].first > rows[i - 1].first) != (rows[1].first > rows[0].first))
            return Fail(error, n, "the rows must be in order of time");
    for (const auto& [minutes, amps] : rows) t.points.push_back({amps / capacity, minutes * 60});
    if (t.points.front().ampsPerAh > t.points.back().ampsPerAh) std::reverse(t.points.begin(), t.points.end());
    *out = std::move(t);
    return true;
}

bool LoadDischargeTable(const std::string& path, DischargeTable* out, std::string* error) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        if (error) *error = "cannot be read";
        return false;
    }
    std::string text(65536, '\0');
    f.read(text.data(), std::streamsize(text.size()));
    if (!f.eof()) {
        if (error) *error = "is larger than any discharge table (64 KiB)";
        return false;
    }
    text.resize(size_t(f.gcount()));
    return ParseDischargeTable(text, out, error);
}

namespace {

DischargeTable Shipped(const char* csv) {
    DischargeTable t;
    std::string error;
    // The shipped files are checked by the tests; a broken one must not go unnoticed.
    if (!ParseDischargeTable(csv, &t, &error)) std::abort();
    return t;
}

}  // namespace

const DischargeTable& DefaultDischargeTable() {
    static const DischargeTable table = Shipped(
#include "vrla_12v_typical.inc"
    );
    return table;
}

const DischargeTable& WeakestDischargeTable() {
    static const DischargeTable table = Shipped(
#include "vrla_12v_low.inc"
    );
    return table;
}

double TableSeconds(const DischargeTable& table, double ampsPerAh) {
    const std::vector<DischargePoint>& p = table.points;
    if (p.size() < 2 || !(ampsPerAh > 0) || !std::isfinite(ampsPerAh)) return NAN;
    size_t i = 1;
    while (i + 1 < p.size() && ampsPerAh > p[i].ampsPerAh) ++i;
    return Along(p[i - 1], p[i], ampsPerAh);
}
