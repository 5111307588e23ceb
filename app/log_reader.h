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

#include "app/trend_ring.h"

// One row of the log as a trend sample, its local date and time turned into UTC milliseconds.
// The log has no heat-sink temperature: that value is NaN. False for a row that is not a data
// row (header, wrong column count, a field that is not a number, an impossible date).
bool ParseLogRow(std::string_view line, TrendSample& sample);

// Folds samples in their order into at most `capacity` points: each point averages a run of
// consecutive samples; when the points run out, neighbours merge and runs double in length.
// Memory stays at `capacity` buckets however many samples come.
class TrendFolder {
public:
    explicit TrendFolder(size_t capacity);
    void Add(const TrendSample& sample);
    // The averaged points, oldest first; a point's time is the middle of its run.
    std::vector<TrendSample> Points() const;
    int64_t samples() const { return samples_; }

private:
    struct Bucket {
        int64_t first = 0, last = 0;
        int64_t rows = 0;
        double sum[kTrendSeriesCount] = {};
        uint32_t count[kTrendSeriesCount] = {};
    };
    void Merge();

    size_t capacity_;
    int64_t runLength_ = 1;
    int64_t samples_ = 0;
    std::vector<Bucket> buckets_;
};

// Splits bytes into lines (LF or CR LF, chunks may cut anywhere) and folds the data rows.
// Lines longer than any row the program writes are skipped without being held.
class LogParser {
public:
    explicit LogParser(size_t capacity) : folder_(capacity) {}
    void Feed(const char* data, size_t size);
    void Finish();  // the last line, when the file does not end with a line break

    const TrendFolder& folder() const { return folder_; }
    int64_t rows() const { return folder_.samples(); }
    int64_t skipped() const { return skipped_; }

private:
    void Line(std::string_view line);

    TrendFolder folder_;
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
    int64_t rows = 0;     // data rows read
    int64_t skipped = 0;  // lines that were not data rows (the header not counted)
    bool cancelled = false;
    QString error;        // the file could not be opened or read
};

// Reads the file at path in chunks; stops early (cancelled) when progress->cancel is set.
LogLoadResult LoadDataLogFile(const QString& path, size_t capacity, LogLoadProgress* progress);
