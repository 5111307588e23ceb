#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "daemon/web/prometheus_metrics.h"

using nut::Variable;
using web::MetricsUnit;
using web::PrometheusText;

namespace {

std::vector<Variable> OnLine() {
    return {{"battery.charge", "97"},
            {"battery.charger.status", "floating"},
            {"battery.voltage", "27.2"},
            {"device.model", "Vespero 1000"},
            {"device.serial", "0042"},
            {"device.type", "ups"},
            {"driver.version", "1.4"},
            {"input.frequency", "50.0"},
            {"ups.firmware", "2.13"},
            {"ups.load", "31"},
            {"ups.status", "OL CHRG"}};
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Sample lines whose series (name and labels) start with prefix.
std::vector<std::string> Series(const std::string& text, const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& line : Lines(text))
        if (line.rfind(prefix, 0) == 0) out.push_back(line);
    return out;
}

int Count(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

bool Has(const std::string& text, const std::string& line) {
    const auto lines = Lines(text);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace

// Numeric variables become gauges under the exporter's names; texts do not, except the on/off
// words it coerces; device texts are labels of the info series.
TEST(PrometheusText, NamesValuesAndInfo) {
    auto vars = OnLine();
    vars.push_back({"ambient.1.temperature-x", "21.5"});
    vars.push_back({"ups.beeper.status", "Disabled"});
    vars.push_back({"outlet.switchable", "yes"});
    vars.push_back({"ups.delay.shutdown", "-1.5e+2"});
    vars.push_back({"ups.test.interval", "12abc"});
    std::sort(vars.begin(), vars.end(), [](const Variable& a, const Variable& b) { return a.name < b.name; });
    const std::string text = PrometheusText({{"vespero0", &vars, false, false}});

    EXPECT_TRUE(Has(text, "network_ups_tools_battery_voltage{ups=\"vespero0\"} 27.2")) << text;
    EXPECT_TRUE(Has(text, "network_ups_tools_battery_charge{ups=\"vespero0\"} 97"));
    EXPECT_TRUE(Has(text, "network_ups_tools_input_frequency{ups=\"vespero0\"} 50.0"));
    EXPECT_TRUE(Has(text, "network_ups_tools_ambient_1_temperature_x{ups=\"vespero0\"} 21.5"));
    EXPECT_TRUE(Has(text, "network_ups_tools_ups_beeper_status{ups=\"vespero0\"} 0"));
    EXPECT_TRUE(Has(text, "network_ups_tools_ups_delay_shutdown{ups=\"vespero0\"} -1.5e+2"));
    EXPECT_TRUE(Has(text, "# HELP network_ups_tools_battery_voltage Battery voltage (V)"));
    EXPECT_TRUE(Has(text, "# TYPE network_ups_tools_battery_voltage gauge"));
    EXPECT_TRUE(Has(text, "# HELP network_ups_tools_ambient_1_temperature_x NUT variable ambient.1.temperature-x"));
    for (const char* absent : {"network_ups_tools_battery_charger_status", "network_ups_tools_driver_version",
                               "network_ups_tools_ups_firmware",
                               "network_ups_tools_outlet_switchable", "network_ups_tools_ups_test_interval",
                               "network_ups_tools_device_serial", "network_ups_tools_device_type"})
        EXPECT_EQ(Count(text, absent), 0) << absent;
    EXPECT_TRUE(Has(text, "network_ups_tools_device_info{ups=\"vespero0\",contact=\"\",description=\"\","
                          "location=\"\",macaddr=\"\",mfr=\"\",model=\"Vespero 1000\",part=\"\","
                          "serial=\"0042\",type=\"ups\"} 1"));
    EXPECT_TRUE(Has(text, "network_ups_tools_up{ups=\"vespero0\"} 1"));
    EXPECT_TRUE(Has(text, "vesperod_ups_stale{ups=\"vespero0\"} 0"));
    EXPECT_TRUE(Has(text, "vesperod_ups_link_lost{ups=\"vespero0\"} 0"));
    EXPECT_EQ(text.back(), '\n');
}

// Every known flag has a series, the reported ones 1; a flag outside the list still shows.
TEST(PrometheusText, StatusFlags) {
    std::vector<Variable> vars = {{"ups.status", "OB DISCHRG  LB ALARM"}};
    const std::string text = PrometheusText({{"u", &vars, false, false}});
    const auto flags = Series(text, "network_ups_tools_ups_status{");
    EXPECT_EQ(flags.size(), 16u) << text;
    std::map<std::string, std::string> value;
    for (const std::string& line : flags) {
        const size_t at = line.find("flag=\"") + 6;
        value[line.substr(at, line.find('"', at) - at)] = line.substr(line.rfind(' ') + 1);
    }
    EXPECT_EQ(value.size(), 16u);
    for (const char* on : {"OB", "DISCHRG", "LB", "ALARM"}) EXPECT_EQ(value[on], "1") << on;
    for (const char* off : {"OL", "CHRG", "HB", "RB", "BYPASS", "CAL", "OFF", "OVER", "TRIM", "BOOST", "FSD", "SD"})
        EXPECT_EQ(value[off], "0") << off;
    EXPECT_TRUE(Has(text, "network_ups_tools_ups_status{ups=\"u\",flag=\"OB\"} 1"));
    EXPECT_EQ(Count(text, "# TYPE network_ups_tools_ups_status gauge"), 1);
}

// Label values keep backslashes, quotes and line feeds as escapes, and valid UTF-8 as it is;
// bytes that are not UTF-8 become '?'. The text stays one sample a line.
TEST(PrometheusText, EscapesLabelValues) {
    std::vector<Variable> vars = {{"battery.voltage", "13.1"},
                                  {"device.model", "A \"big\"\nC:\\ups"},
                                  {"device.mfr", "Caf\xC3\xA9 \xE9t\xC3"},
                                  {"device.part", "\xED\xA0\x80\xF0\x9F\x94\x8B"}};
    const std::string text = PrometheusText({{"r\\\"\n", &vars, false, false}});
    EXPECT_TRUE(Has(text, "network_ups_tools_battery_voltage{ups=\"r\\\\\\\"\\n\"} 13.1")) << text;
    EXPECT_NE(text.find("model=\"A \\\"big\\\"\\nC:\\\\ups\""), std::string::npos) << text;
    EXPECT_NE(text.find("mfr=\"Caf\xC3\xA9 ?t?\""), std::string::npos) << text;
    EXPECT_NE(text.find("part=\"???\xF0\x9F\x94\x8B\""), std::string::npos) << text;  // no UTF-16 halves
    for (const std::string& line : Lines(text))
        EXPECT_TRUE(line.rfind("#", 0) == 0 || line.rfind("network_ups_tools_", 0) == 0 || line.rfind("vesperod_", 0) == 0)
            << line;
}

// Two units: one HELP/TYPE per family, the family's samples together, a variable only one unit
// has appears once; a stale unit, a lost link and a unit without data yet publish no readings,
// only their state; a name given twice is served once.
TEST(PrometheusText, SeveralUnitsStaleAndLinkLost) {
    auto a = OnLine();
    auto b = OnLine();
    b.erase(std::remove_if(b.begin(), b.end(), [](const Variable& v) { return v.name == "ups.load"; }), b.end());
    for (Variable& v : b)
        if (v.name == "battery.voltage") v.value = "13.6";
    const auto c = OnLine(), d = OnLine();
    const std::vector<Variable> empty;
    const std::string text = PrometheusText({{"a", &a, false, false},
                                             {"b", &b, false, false},
                                             {"old", &c, true, false},
                                             {"cut", &d, false, true},
                                             {"a", &b, false, false},
                                             {"none", nullptr, false, false},
                                             {"empty", &empty, false, false}});

    const auto lines = Lines(text);
    std::map<std::string, int> helps;
    std::string family;  // the family of the last HELP line: every sample belongs to it
    for (const std::string& line : lines) {
        if (line.rfind("# HELP ", 0) == 0) {
            family = line.substr(7, line.find(' ', 7) - 7);
            ++helps[family];
        } else if (line[0] != '#') {
            EXPECT_EQ(line.substr(0, line.find('{')), family) << line;
        }
    }
    for (const auto& [name, n] : helps) EXPECT_EQ(n, 1) << name;

    const auto volts = Series(text, "network_ups_tools_battery_voltage{");
    ASSERT_EQ(volts.size(), 2u) << text;
    EXPECT_EQ(volts[0], "network_ups_tools_battery_voltage{ups=\"a\"} 27.2");
    EXPECT_EQ(volts[1], "network_ups_tools_battery_voltage{ups=\"b\"} 13.6");
    EXPECT_EQ(Series(text, "network_ups_tools_ups_load{").size(), 1u);
    EXPECT_EQ(Series(text, "network_ups_tools_device_info{").size(), 2u);
    EXPECT_EQ(Series(text, "network_ups_tools_ups_status{").size(), 2u * 15u);

    for (const char* unit : {"old", "cut", "none", "empty"})
        EXPECT_EQ(Count(text, std::string("ups=\"") + unit + "\""), 3) << unit;  // up, stale, link lost
    EXPECT_TRUE(Has(text, "network_ups_tools_up{ups=\"a\"} 1"));
    EXPECT_TRUE(Has(text, "network_ups_tools_up{ups=\"old\"} 0"));
    EXPECT_TRUE(Has(text, "network_ups_tools_up{ups=\"cut\"} 0"));
    EXPECT_TRUE(Has(text, "vesperod_ups_stale{ups=\"old\"} 1"));
    EXPECT_TRUE(Has(text, "vesperod_ups_stale{ups=\"cut\"} 0"));
    EXPECT_TRUE(Has(text, "vesperod_ups_link_lost{ups=\"cut\"} 1"));
    EXPECT_TRUE(Has(text, "network_ups_tools_up{ups=\"empty\"} 0"));
    EXPECT_EQ(Series(text, "network_ups_tools_up{").size(), 6u);

    EXPECT_EQ(PrometheusText({}), "");
}

// Prometheus's own parser and linter accept the text.
TEST(PrometheusText, PromtoolAcceptsIt) {
    if (!QFile::exists("/usr/bin/promtool")) GTEST_SKIP() << "promtool is not installed";
    auto a = OnLine();
    a.push_back({"ambient.1.temperature-x", "21.5"});
    a.push_back({"ups.beeper.status", "enabled"});
    std::vector<Variable> b = {{"battery.voltage", "13.1"}, {"device.model", "A \"big\"\nC:\\ups"},
                               {"ups.status", "OB LB ALARM"}};
    const std::string text = PrometheusText({{"vespero0", &a, false, false},
                                             {"odd \"name\"\\", &b, false, false},
                                             {"old", &a, true, false}});
    QProcess promtool;
    promtool.setProcessChannelMode(QProcess::MergedChannels);
    promtool.start("/usr/bin/promtool", {"check", "metrics"});
    ASSERT_TRUE(promtool.waitForStarted());
    promtool.write(text.data(), qint64(text.size()));
    promtool.closeWriteChannel();
    ASSERT_TRUE(promtool.waitForFinished(30000));
    EXPECT_EQ(promtool.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(promtool.exitCode(), 0) << promtool.readAll().toStdString() << "\n" << text;
}
