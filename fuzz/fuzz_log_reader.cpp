// Data logs as the trend window may be handed them: whatever the bytes, reading them never
// crashes, and where the reader's chunks happen to end does not change what it reads.
//
// The first byte chooses where the rest is cut in two; both halves are fed as separate chunks
// and the result must equal that of one whole chunk and of byte-by-byte feeding (short inputs).
// The folded points stay within their capacity, and every line is either a row or counted.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/trend/log_reader.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_log_reader: invariant broken: %s\n", what);
    std::abort();
}

constexpr size_t kCapacity = 8;

struct Read {
    int64_t rows, skipped;
    std::vector<TrendSample> points;
};

Read Parse(const char* data, size_t size, size_t cut, bool byteWise) {
    LogParser parser(kCapacity);
    if (byteWise) {
        for (size_t i = 0; i < size; ++i) parser.Feed(data + i, 1);
    } else {
        parser.Feed(data, cut);
        parser.Feed(data + cut, size - cut);
    }
    parser.Finish();
    return {parser.rows(), parser.skipped(), parser.folder().Points()};
}

bool Same(const Read& a, const Read& b) {
    if (a.rows != b.rows || a.skipped != b.skipped || a.points.size() != b.points.size()) return false;
    for (size_t i = 0; i < a.points.size(); ++i) {
        if (a.points[i].msecs != b.points[i].msecs) return false;
        for (int s = 0; s < kTrendSeriesCount; ++s) {
            const float x = a.points[i].value[s], y = b.points[i].value[s];
            if (!(x == y || (std::isnan(x) && std::isnan(y)))) return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 1) return 0;
    const char* data = reinterpret_cast<const char*>(bytes + 1);
    const size_t n = size - 1;
    const size_t cut = n ? size_t(bytes[0]) * n / 255 : 0;

    const Read whole = Parse(data, n, n, false);
    const Read split = Parse(data, n, cut, false);
    if (!Same(whole, split)) Fail("a chunk boundary changed what was read");
    if (n <= 512 && !Same(whole, Parse(data, n, 0, true))) Fail("byte-wise feeding differs");
    if (whole.points.size() > kCapacity) Fail("more points than the capacity");
    if ((whole.rows > 0) != !whole.points.empty()) Fail("rows without points or points without rows");

    // Every line break ends one line: no more lines can have been read or counted than there are.
    int64_t lines = 1;
    for (size_t i = 0; i < n; ++i) lines += data[i] == '\n';
    if (whole.rows + whole.skipped > lines) Fail("more rows and skips than lines");

    // A single line on its own: a row or not, never anything else.
    const char* nl = static_cast<const char*>(std::memchr(data, '\n', n));
    TrendSample sample;
    ParseLogRow(std::string_view(data, nl ? size_t(nl - data) : n), sample);
    return 0;
}
