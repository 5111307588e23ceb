// The units in the Prometheus text exposition format.
#pragma once

#include <string>
#include <vector>

#include "daemon/ups_variables.h"

namespace web {

struct MetricsUnit {
    std::string name;
    const std::vector<nut::Variable>* variables;
    bool stale;
    bool linkLost;
};

std::string PrometheusText(const std::vector<MetricsUnit>& units);

}  // namespace web
