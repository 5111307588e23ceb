// The /metrics body for four units with every variable vesperod serves: built on every scrape.
#include <benchmark/benchmark.h>

#include "daemon/web/prometheus_metrics.h"

namespace {

std::vector<nut::Variable> Unit(int i) {
    const std::string n = std::to_string(i);
    return {{"battery.capacity", "9"},          {"battery.charge", "97"},
            {"battery.charge.low", "20"},       {"battery.charger.status", "floating"},
            {"battery.current", "0.4"},         {"battery.runtime", "1830"},
            {"battery.runtime.low", "120"},     {"battery.temperature", "24.5"},
            {"battery.voltage", "27.2"},        {"battery.voltage.low", "21.0"},
            {"battery.voltage.nominal", "24.0"}, {"device.mfr", "Vespero"},
            {"device.model", "Vespero 1000"},   {"device.part", "VSP-1000"},
            {"device.serial", "00" + n},        {"device.type", "ups"},
            {"driver.name", "vesperod"},        {"driver.parameter.port", "COM" + n},
            {"driver.version", "1.4.0"},        {"input.frequency", "50.0"},
            {"input.voltage", "229.8"},         {"output.current", "1.2"},
            {"output.frequency", "50.0"},       {"output.voltage", "230.1"},
            {"ups.alarm", ""},                  {"ups.firmware", "2.13"},
            {"ups.load", "31"},                 {"ups.mfr", "Vespero"},
            {"ups.model", "Vespero 1000"},      {"ups.power.nominal", "1000"},
            {"ups.realpower", "287"},           {"ups.realpower.nominal", "1000"},
            {"ups.serial", "00" + n},           {"ups.status", "OL CHRG"},
            {"ups.temperature", "30.8"},        {"ups.test.result", "No test initiated"}};
}

void BM_PrometheusText4Units(benchmark::State& state) {
    std::vector<std::vector<nut::Variable>> vars;
    for (int i = 0; i < 4; ++i) vars.push_back(Unit(i + 1));
    std::vector<web::MetricsUnit> units;
    for (int i = 0; i < 4; ++i) units.push_back({"vespero" + std::to_string(i), &vars[i], false, false});
    size_t bytes = 0;
    for (auto _ : state) {
        std::string text = web::PrometheusText(units);
        bytes = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.counters["bytes"] = double(bytes);
}
BENCHMARK(BM_PrometheusText4Units);

}  // namespace

BENCHMARK_MAIN();
