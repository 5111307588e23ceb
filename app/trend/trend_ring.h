// The last samples of the unit's trend quantities, in a ring of fixed size: the window can stay
// open for months and its memory does not grow.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

// The quantities the trend window draws, in this order. The charge is the estimate from the
// battery voltage and load, not a reading.
enum TrendSeries { kTrendVbatt, kTrendLoad, kTrendTbatt, kTrendTheat, kTrendFreq, kTrendCharge, kTrendSeriesCount };

struct TrendSample {
    int64_t msecs = 0;                     // since the epoch, UTC
    float value[kTrendSeriesCount] = {};   // NaN where a source has no such quantity

    // No quantity at all: the unit did not answer from here on, and the lines break.
    static TrendSample Gap(int64_t msecs) {
        TrendSample s;
        s.msecs = msecs;
        for (float& v : s.value) v = std::nanf("");
        return s;
    }
    bool IsGap() const {
        for (float v : value)
            if (!std::isnan(v)) return false;
        return true;
    }
};

// What a folded point's average hides: the lowest and highest sample of each quantity in its
// run, and how many samples it took in. An outage that pulls the voltage down for a few minutes
// of a year survives in `lo` whatever the fold.
struct TrendSpread {
    float lo[kTrendSeriesCount] = {};
    float hi[kTrendSeriesCount] = {};
    int64_t rows = 0;
};

class TrendRing {
public:
    // The memory is reserved at once but only touched as samples come, so a short run stays
    // small; it never moves, so adding is O(1) every time, not only on average.
    explicit TrendRing(size_t capacity) : capacity_(capacity ? capacity : 1) { slots_.reserve(capacity_); }

    // O(1): once full, the oldest sample gives way.
    void Add(const TrendSample& sample) {
        if (slots_.size() < capacity_) {
            slots_.push_back(sample);
        } else {
            slots_[next_] = sample;
        }
        next_ = next_ + 1 == capacity_ ? 0 : next_ + 1;
        if (size_ < capacity_) ++size_;
    }

    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    void clear() {
        slots_.clear();
        size_ = next_ = 0;
    }

    // i = 0 is the oldest sample held.
    const TrendSample& at(size_t i) const {
        size_t index = next_ + capacity_ - size_ + i;
        if (index >= capacity_) index -= capacity_;
        return slots_[index];
    }
    const TrendSample& newest() const { return at(size_ - 1); }

private:
    size_t capacity_;
    std::vector<TrendSample> slots_;
    size_t next_ = 0;  // where the next sample goes
    size_t size_ = 0;
};
