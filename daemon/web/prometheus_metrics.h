// The /metrics body: every unit's NUT variables in the Prometheus text format, named as the
// common NUT exporter names them, so existing dashboards and alerts work against vesperod.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "daemon/ups_variables.h"

namespace web {

struct MetricsUnit {
    std::string name;
    const std::vector<nut::Variable>* variables;  // null or empty: nothing known yet
    bool stale;
    bool linkLost;
};

// The whole /metrics body in the Prometheus text exposition format 0.0.4. A unit that is stale
// or whose link is lost, or that has not answered yet, publishes no readings (old values would
// look current), only network_ups_tools_up 0 and vesperod's own stale and link-lost series.
std::string PrometheusText(const std::vector<MetricsUnit>& units);

// The metric family a NUT variable goes to: "network_ups_tools_" and the name with every
// character outside [a-zA-Z0-9_] as '_'.
std::string MetricName(std::string_view variable);

// The sample value a variable's text stands for, as the exporter coerces it: decimal numbers as
// they are, enabled/on/true and friends as 1, their opposites as 0. False for any other text.
bool MetricValue(std::string_view text, std::string_view& value);

}  // namespace web
