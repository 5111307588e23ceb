// Conversions the panel and the data log make from unit values. A double converted to an integer
// type outside its range (NaN included) is undefined behaviour, so every conversion goes through
// these guards: NaN reads as 0, anything beyond the target's range saturates at its end.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

// Integer part toward zero.
inline int64_t TruncSat(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9.2e18) return std::numeric_limits<int64_t>::max();
    if (v <= -9.2e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(v);
}

inline int ClampToInt(int64_t v) {
    if (v > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
    if (v < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
    return static_cast<int>(v);
}

// The gauges take 16-bit bounds: a larger value keeps its low 16 bits, as the control's range
// request packs it.
inline uint16_t Low16(int64_t v) { return static_cast<uint16_t>(static_cast<uint64_t>(v) & 0xFFFFu); }
