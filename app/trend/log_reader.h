// Reads the data log "log.txt" back for the trend window. A year of rows does not fit on a
// chart, nor need it fit in memory: rows are folded into a bounded number of averaged points
// while they are read.
#pragma once

#include <QString>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/trend/trend_ring.h"

// The columns of a row a charge estimate needs beside the plotted ones.
struct LogRowBattery {
    double outputWatts = 0;
    double ccbStatus = 0;  // 1 to 3: a charge phase (on line); anything else: discharging
};

// One row of the log as a trend sample, its local date and time turned into UTC milliseconds.
// The log has no heat-sink temperature: that value is NaN, as is the charge, which takes the
// battery's block count (LogRowCharge). False for a row that is not a data row (header, wrong
// column count, a field that is not a number, an impossible date).
bool ParseLogRow(std::string_view line, TrendSample& sample, LogRowBattery* battery = nullptr);

// The charge estimate (%) for a parsed row of a battery of `blocks` 12 V blocks; NaN without.
float LogRowCharge(const TrendSample& sample, const LogRowBattery& battery, int blocks);

// Folds samples in their order into at most `capacity` points: each point averages a run of
// consecutive samples; when the points run out, neighbours merge and runs double in length.
// Memory stays at `capacity` buckets however many samples come.
class TrendFolder {
public:
    explicit TrendFolder(size_t capacity);
    void Add(const TrendSample& sample);
    // The averaged points, oldest first; a point's time is the middle of its run. With spread,
    // also each point's lowest and highest samples, index for index.
    std::vector<TrendSample> Points(std::vector<TrendSpread>* spread = nullptr) const;
    int64_t samples() const { return samples_; }

private:
    struct Bucket {
        int64_t first = 0, last = 0;
        int64_t rows = 0;
        double sum[kTrendSeriesCount] = {};
        uint32_t count[kTrendSeriesCount] = {};
        float lo[kTrendSeriesCount] = {}, hi[kTrendSeriesCount] = {};  // valid where count > 0
    };
    void Merge();

    size_t capacity_;
    int64_t runLength_ = 1;
    int64_t samples_ = 0;
    std::vector<Bucket> buckets_;
};

// Splits bytes into lines (LF or CR LF, chunks may cut anywhere) and folds the data rows.
// Lines longer than any row the program writes are skipped without being held.
// blocks: 12 V blocks of the battery, for the charge; 0 takes it from the first row written
// while the charger floated the battery (about 13.6 V a block), and leaves the charge out before.
class LogParser {
public:
    explicit LogParser(size_t capacity, int blocks = 0) : folder_(capacity), blocks_(blocks) {}
    void Feed(const char* data, size_t size);
    void Finish();  // the last line, when the file does not end with a line break

    const TrendFolder& folder() const { return folder_; }
    int64_t rows() const { return folder_.samples(); }
    int64_t skipped() const { return skipped_; }
    int blocks() const { return blocks_; }

private:
    void Line(std::string_view line);

    TrendFolder folder_;
    int blocks_;
    std::string pending_;
    bool overlong_ = false;
    int64_t skipped_ = 0;
};

// Shared between a load running on a worker thread and the window that waits for it.
struct LogLoadProgress {
    std::atomic<int64_t> done{0};   // bytes read so far
    std::atomic<int64_t> total{0};  // file size, once known
    std::atomic<bool> cancel{false};
};

struct LogLoadResult {
    std::vector<TrendSample> points;
    std::vector<TrendSpread> spread;  // beside points, index for index
    int64_t rows = 0;     // data rows read
    int64_t skipped = 0;  // lines that were not data rows (the header not counted)
    bool cancelled = false;
    QString error;        // the file could not be opened or read
};

// Reads the file at path in chunks; stops early (cancelled) when progress->cancel is set.
// blocks as for LogParser.
LogLoadResult LoadDataLogFile(const QString& path, size_t capacity, LogLoadProgress* progress, int blocks = 0);
