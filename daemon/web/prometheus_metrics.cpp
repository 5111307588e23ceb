#include "daemon/web/prometheus_metrics.h"

namespace web {

std::string PrometheusText(const std::vector<MetricsUnit>& units) {
    std::string out;
    for (const MetricsUnit& u : units)
        out += "vesperod_ups_stale{ups=\"" + u.name + "\"} " + (u.stale ? "1" : "0") + "\n";
    return out;
}

}  // namespace web
