#include "link/port/port_errors.h"

#include <atomic>
#include <cstdio>

namespace {

void ReportToStderr(const char* text, const char* caption) {
    std::fprintf(stderr, "%s: %s\n", caption, text);
    std::fflush(stderr);
}

void StatusToStderr(PortEvent event, int, const char* port, const char* reason) {
    switch (event) {
    case PortEvent::Lost: std::fprintf(stderr, "%s: port lost: %s\n", port, reason); break;
    case PortEvent::Reopened: std::fprintf(stderr, "%s: port reopened\n", port); break;
    case PortEvent::Unavailable: return;  // once per retry: too many for a terminal
    }
    std::fflush(stderr);
}

std::atomic<PortErrorReporter> currentReporter{&ReportToStderr};
std::atomic<PortStatusReporter> statusReporter{&StatusToStderr};

}  // namespace

void SetPortErrorReporter(PortErrorReporter reporter) {
    currentReporter.store(reporter ? reporter : &ReportToStderr);
}

void ReportPortError(const char* text, const char* caption) {
    currentReporter.load()(text, caption);
}

void SetPortStatusReporter(PortStatusReporter reporter) {
    statusReporter.store(reporter ? reporter : &StatusToStderr);
}

void ReportPortStatus(PortEvent event, int comPort, const char* port, const char* reason) {
    statusReporter.load()(event, comPort, port, reason);
}
