#include "link/port/port_errors.h"

#include <atomic>
#include <cstdio>

namespace {

void ReportToStderr(const char* text, const char* caption) {
    std::fprintf(stderr, "%s: %s\n", caption, text);
    std::fflush(stderr);
}

std::atomic<PortErrorReporter> currentReporter{&ReportToStderr};

}  // namespace

void SetPortErrorReporter(PortErrorReporter reporter) {
    currentReporter.store(reporter ? reporter : &ReportToStderr);
}

void ReportPortError(const char* text, const char* caption) {
    currentReporter.load()(text, caption);
}
