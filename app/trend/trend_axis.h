// The trend's time axis: ticks on round local times and how their labels are written.
#pragma once

#include <QString>
#include <cstdint>
#include <vector>

// The labels follow the span: the year appears as soon as the range crosses one.
QString TimeFormat(int64_t from, int64_t to);

struct TimeTick {
    int64_t msecs;
    QString label;
};
// Ticks within [from, to] on round local times: whole minutes, hours, days, months or years,
// the smallest such step that gives at most `most` of them.
std::vector<TimeTick> RoundTimeTicks(int64_t from, int64_t to, int most = 8);
