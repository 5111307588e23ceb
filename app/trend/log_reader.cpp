#include "app/trend/log_reader.h"

#include <QDate>
#include <QDateTime>
#include <QFile>
#include <QTime>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "link/battery_estimate.h"

namespace {

// Longer than any row the program writes, even with "nan" or huge numbers in every column.
constexpr size_t kMaxLineLength = 4096;
constexpr size_t kChunk = 4 << 20;

bool Digits(std::string_view text, int& value) {
    if (text.empty() || text.size() > 4) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

// Splits "a/b/c" style text into exactly three (date) or two (time) numbers.
template <size_t N>
bool Numbers(std::string_view text, char separator, int (&out)[N]) {
    for (size_t i = 0; i < N; ++i) {
        const size_t end = i + 1 < N ? text.find(separator) : text.size();
        if (end == std::string_view::npos || !Digits(text.substr(0, end), out[i])) return false;
        text.remove_prefix(i + 1 < N ? end + 1 : end);
    }
    return true;
}

bool Number(std::string_view text, double& value) {
    // from_chars takes neither a leading '+' nor spaces; the program writes neither.
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

// Local date and hour to UTC milliseconds. The time-zone rules are looked up once per hour of
// the log, not once per row.
int64_t LocalHourMsecs(int year, int month, int day, int hour, bool& valid) {
    thread_local int64_t cachedKey = -1;
    thread_local int64_t cachedMsecs = 0;
    thread_local bool cachedValid = false;
    const int64_t key = ((int64_t(year) * 13 + month) * 32 + day) * 24 + hour;
    if (key != cachedKey) {
        const QDate date(year, month, day);
        cachedValid = date.isValid();
        cachedMsecs = cachedValid ? QDateTime(date, QTime(hour, 0)).toMSecsSinceEpoch() : 0;
        cachedKey = key;
    }
    valid = cachedValid;
    return cachedMsecs;
}

}  // namespace

bool ParseLogRow(std::string_view line, TrendSample& sample, LogRowBattery* battery) {
    std::string_view field[10];
    for (int i = 0; i < 10; ++i) {
        const size_t comma = line.find(',');
        if ((comma == std::string_view::npos) != (i == 9)) return false;
        field[i] = line.substr(0, comma);
        if (i < 9) line.remove_prefix(comma + 1);
    }
    int date[3], time[2];
    if (field[0].size() != 10 || field[1].size() != 5) return false;
    if (!Numbers(field[0], '/', date) || !Numbers(field[1], ':', time)) return false;
    if (time[0] > 23 || time[1] > 59 || date[2] < 1000) return false;
    bool valid = false;
    const int64_t hour = LocalHourMsecs(date[2], date[1], date[0], time[0], valid);
    if (!valid) return false;

    double v[8];
    for (int i = 0; i < 8; ++i)
        if (!Number(field[i + 2], v[i])) return false;
    // Frgen, Vbatt, Iout, Pout, PowerPerc, CCBStatus, Tbatt, Ibatt
    sample.msecs = hour + int64_t(time[1]) * 60000;
    sample.value[kTrendVbatt] = float(v[1]);
    sample.value[kTrendLoad] = float(v[4]);
    sample.value[kTrendTbatt] = float(v[6]);
    sample.value[kTrendTheat] = std::numeric_limits<float>::quiet_NaN();
    sample.value[kTrendFreq] = float(v[0]);
    sample.value[kTrendCharge] = std::numeric_limits<float>::quiet_NaN();
    if (battery) {
        battery->outputWatts = v[3];
        battery->ccbStatus = v[5];
    }
    return true;
}

float LogRowCharge(const TrendSample& sample, const LogRowBattery& battery, int blocks) {
    if (blocks <= 0) return std::numeric_limits<float>::quiet_NaN();
    BatteryInputs in;
    in.volts = sample.value[kTrendVbatt];
    in.blocks = blocks;
    in.outputWatts = battery.outputWatts;
    in.loadPercent = sample.value[kTrendLoad];
    const bool charging = battery.ccbStatus >= 1 && battery.ccbStatus <= 3;
    in.onBattery = !charging;
    in.floating = battery.ccbStatus == 3;
    in.charging = charging && !in.floating;
    static const BatterySettings settings;
    static const BatteryModel model;
    const BatteryEstimate e = EstimateBattery(in, settings, model);
    return e.haveCharge ? float(e.charge) : std::numeric_limits<float>::quiet_NaN();
}

TrendFolder::TrendFolder(size_t capacity) : capacity_(capacity < 2 ? 2 : capacity) {
    buckets_.reserve(capacity_);
}

void TrendFolder::Add(const TrendSample& sample) {
    if (buckets_.empty() || buckets_.back().rows >= runLength_) {
        if (buckets_.size() == capacity_) Merge();
        if (buckets_.empty() || buckets_.back().rows >= runLength_) {
            buckets_.emplace_back();
            buckets_.back().first = sample.msecs;
        }
    }
    Bucket& b = buckets_.back();
    b.last = sample.msecs;
    ++b.rows;
    for (int s = 0; s < kTrendSeriesCount; ++s) {
        const float v = sample.value[s];
        if (!std::isfinite(v)) continue;
        if (b.count[s] == 0) {
            b.lo[s] = b.hi[s] = v;
        } else {
            b.lo[s] = std::min(b.lo[s], v);
            b.hi[s] = std::max(b.hi[s], v);
        }
        b.sum[s] += v;
        ++b.count[s];
    }
    ++samples_;
}

void TrendFolder::Merge() {
    // Pairs of neighbours become one; an odd last bucket stays as it is and keeps filling.
    size_t out = 0;
    for (size_t i = 0; i < buckets_.size(); i += 2, ++out) {
        Bucket merged = buckets_[i];
        if (i + 1 < buckets_.size()) {
            const Bucket& next = buckets_[i + 1];
            merged.last = next.last;
            merged.rows += next.rows;
            for (int s = 0; s < kTrendSeriesCount; ++s) {
                if (!next.count[s]) continue;
                merged.lo[s] = merged.count[s] ? std::min(merged.lo[s], next.lo[s]) : next.lo[s];
                merged.hi[s] = merged.count[s] ? std::max(merged.hi[s], next.hi[s]) : next.hi[s];
                merged.sum[s] += next.sum[s];
                merged.count[s] += next.count[s];
            }
        }
        buckets_[out] = merged;
    }
    buckets_.resize(out);
    runLength_ *= 2;
}

std::vector<TrendSample> TrendFolder::Points(std::vector<TrendSpread>* spread) const {
    std::vector<TrendSample> points;
    points.reserve(buckets_.size());
    if (spread) {
        spread->clear();
        spread->reserve(buckets_.size());
    }
    for (const Bucket& b : buckets_) {
        TrendSample p;
        // Halves first: the sum of two times in milliseconds cannot overflow this way.
        p.msecs = b.first / 2 + b.last / 2 + (b.first % 2 + b.last % 2) / 2;
        for (int s = 0; s < kTrendSeriesCount; ++s)
            p.value[s] = b.count[s] ? float(b.sum[s] / b.count[s])
                                    : std::numeric_limits<float>::quiet_NaN();
        points.push_back(p);
        if (!spread) continue;
        TrendSpread& range = spread->emplace_back();
        range.rows = b.rows;
        for (int s = 0; s < kTrendSeriesCount; ++s) {
            range.lo[s] = b.count[s] ? b.lo[s] : p.value[s];
            range.hi[s] = b.count[s] ? b.hi[s] : p.value[s];
        }
    }
    return points;
}

void LogParser::Feed(const char* data, size_t size) {
    while (size > 0) {
        const char* nl = static_cast<const char*>(std::memchr(data, '\n', size));
        const size_t take = nl ? size_t(nl - data) : size;
        if (!overlong_) {
            if (pending_.size() + take > kMaxLineLength) {
                overlong_ = true;
                pending_.clear();
            } else if (nl && pending_.empty()) {
                Line(std::string_view(data, take));  // the common case: no copy
            } else {
                pending_.append(data, take);
            }
        }
        if (!nl) return;
        if (overlong_) {
            ++skipped_;
            overlong_ = false;
        } else if (!pending_.empty()) {
            Line(pending_);
            pending_.clear();
        }
        data += take + 1;
        size -= take + 1;
    }
}

void LogParser::Finish() {
    if (overlong_) {
        ++skipped_;
    } else if (!pending_.empty()) {
        Line(pending_);
    }
    pending_.clear();
    overlong_ = false;
}

void LogParser::Line(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return;
    TrendSample sample;
    LogRowBattery battery;
    if (ParseLogRow(line, sample, &battery)) {
        const float volts = sample.value[kTrendVbatt];
        if (blocks_ == 0 && battery.ccbStatus == 3 && volts > 6 && std::isfinite(volts))
            blocks_ = std::max(1, int(std::lround(volts / 13.6)));
        sample.value[kTrendCharge] = LogRowCharge(sample, battery, blocks_);
        folder_.Add(sample);
        return;
    }
    // The header opens a file the program created, and reappears where two logs were joined.
    if (line == std::string_view("Date,Time,Frgen,Vbatt,Iout,Pout,PowerPerc,CCBStatus,Tbatt,Ibatt"))
        return;
    ++skipped_;
}

LogLoadResult LoadDataLogFile(const QString& path, size_t capacity, LogLoadProgress* progress, int blocks) {
    LogLoadResult result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = file.errorString();
        return result;
    }
    if (progress) progress->total = file.size();
    LogParser parser(capacity, blocks);
    std::vector<char> chunk(kChunk);
    int64_t done = 0;
    for (;;) {
        if (progress && progress->cancel) {
            result.cancelled = true;
            return result;
        }
        const qint64 n = file.read(chunk.data(), qint64(chunk.size()));
        if (n < 0) {
            result.error = file.errorString();
            return result;
        }
        if (n == 0) break;
        parser.Feed(chunk.data(), size_t(n));
        done += n;
        if (progress) progress->done = done;
    }
    parser.Finish();
    result.points = parser.folder().Points(&result.spread);
    result.rows = parser.rows();
    result.skipped = parser.skipped();
    return result;
}
