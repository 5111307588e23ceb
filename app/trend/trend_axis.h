// The trend's time axis: how its labels are written for the range shown.
#pragma once

#include <QString>
#include <cstdint>

// The labels follow the span: the year appears as soon as the range crosses one.
QString TimeFormat(int64_t from, int64_t to);
