// Replies as a unit (or line noise) may send them.
//
// Input: two bytes that choose the checked length L (0..2000), the read chunk size and how much
// extra work is queued while polling, then the characters. Phase 1 puts the characters into a
// record's rxText, runs CheckReply with L against an independent reading of the reply rules, then
// every decoder of the command table over the payload. Phase 2 feeds the same characters as a
// serial stream to PollStep, which sends each command of its poll cycle (plus the extra work)
// and decodes whatever passes the checksum. After every step the record must stay sound: its
// texts NUL-terminated inside their arrays, ring indices 0..99, the receive count inside the
// active reply.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "link/link_core.h"

namespace {

constexpr int kRxSize = static_cast<int>(sizeof(_ZozeUps::rxText));
constexpr int kRingSize = static_cast<int>(sizeof(_ZozeUps::ring) / sizeof(_ZozeUps::ring[0]));

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_reply: invariant broken: %s\n", what);
    std::abort();
}

template <size_t N>
void ExpectTerminated(const char (&field)[N], const char* name) {
    if (!std::memchr(field, '\0', N)) Fail(name);
}

void CheckRecord(const _ZozeUps& u) {
    ExpectTerminated(u.productCodeRead, "productCodeRead");
    ExpectTerminated(u.serialNumberRead, "serialNumberRead");
    ExpectTerminated(u.protocolAddsRead.buildDate, "buildDate");
    ExpectTerminated(u.protocolAddsRead.modelName, "modelName");
    ExpectTerminated(u.protocolAddsRead.manufacturer, "manufacturer");
    ExpectTerminated(u.protocolAddsRead.serviceContact, "serviceContact");
    ExpectTerminated(u.protocolAddsRead.servicePhone, "servicePhone");
    ExpectTerminated(u.firmwareVersion, "firmwareVersion");
    ExpectTerminated(u.stateText, "stateText");
    ExpectTerminated(u.stateDetail, "stateDetail");
    if (u.ringRead < 0 || u.ringRead >= kRingSize) Fail("ringRead");
    if (u.ringWrite < 0 || u.ringWrite >= kRingSize) Fail("ringWrite");
}

// The reply rules read straight from the protocol: signed sum of every character before the
// checksum, nibbles '0'-'9' or (uppercase c) - 55. Even lengths only; odd ones have no
// whole payload byte at the end and are checked for not crashing.
int Nibble(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    int v = static_cast<signed char>(c);
    if (v >= 'a' && v <= 'z') v -= 32;
    return v - 55;
}

int ReferenceCheck(const char* text, uint8_t* out, int length) {
    if (length < 6) return 1;
    int sum = 0;
    for (int i = 0; i < length - 4; ++i) sum += static_cast<signed char>(text[i]);
    for (int i = 0; i < (length - 6) / 2; ++i)
        out[i] = static_cast<uint8_t>(Nibble(text[2 + 2 * i]) * 16 + Nibble(text[3 + 2 * i]));
    int expected = 0;
    for (int i = length - 4; i < length; ++i) expected = expected * 16 + Nibble(text[i]);
    return (expected & 0xFFFF) == (sum & 0xFFFF);
}

// A serial line that serves the fuzz input in chunks and swallows every frame sent.
struct Stream {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;
    int chunk = 0;  // 0: as much as asked for
} stream;

int StreamOpen(_ZozeUps*) { return 0; }
int StreamWrite(const uint8_t*, int len, _ZozeUps*) { return len; }
int StreamRead(char* dest, int wanted, uint32_t* error, _ZozeUps*) {
    *error = 0;
    size_t n = static_cast<size_t>(wanted);
    if (stream.chunk > 0 && n > static_cast<size_t>(stream.chunk)) n = static_cast<size_t>(stream.chunk);
    if (n > stream.size - stream.pos) n = stream.size - stream.pos;
    std::memcpy(dest, stream.data + stream.pos, n);
    stream.pos += n;
    return static_cast<int>(n);
}
void StreamPurge(int, _ZozeUps*) {}
void StreamClose(_ZozeUps*) {}
const UpsPortOps kStreamPort = {StreamOpen, StreamWrite, StreamRead, StreamPurge, StreamClose};

int TableRows() {
    int n = 0;
    while (CommandTable[n].code != -1) ++n;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The decoders trace to standard output; keep the fuzzer's own output readable.
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const int length = ((data[0] << 8) | data[1]) % (kRxSize + 1);
    const uint8_t* text = data + 2;
    const size_t textSize = size - 2;

    // Phase 1: CheckReply and every decoder on one record. On the heap so ASan sees its edges.
    auto ups = std::make_unique<_ZozeUps>();
    std::memcpy(ups->rxText, text, textSize < size_t(kRxSize) ? textSize : size_t(kRxSize));
    const int accepted = CheckReply(ups->rxText, ups->payload, length);
    if (accepted != 0 && accepted != 1) Fail("CheckReply result");
    if (length % 2 == 0) {
        uint8_t reference[kRxSize];
        if (ReferenceCheck(ups->rxText, reference, length) != accepted) Fail("checksum verdict");
        if (length >= 6) {
            const int bytes = (length - 6) / 2;
            if (std::memcmp(reference, ups->payload, size_t(bytes)) != 0) Fail("payload bytes");
            if (ups->payload[bytes] != 0) Fail("NUL after the payload");
        }
    }
    for (int i = 0; CommandTable[i].code != -1; ++i) {
        CommandTable[i].decode(ups.get());
        CheckRecord(*ups);
    }

    // Phase 2: the same characters as a serial stream under the poll step.
    auto polled = std::make_unique<_ZozeUps>();
    std::snprintf(polled->stateText, sizeof polled->stateText, "%s", "Timeout");
    polled->port = &kStreamPort;
    polled->present = 1;
    stream = Stream{text, textSize, 0, data[0]};
    static const int rows = TableRows();
    // The window may queue work at any time; up to seven extra commands per step fill the ring
    // until it refuses them. Not the debug write: its builder appends to a file.
    const int extra = (data[0] >> 5) & 7;
    for (int step = 0; step < 4 * 2000 && stream.pos < stream.size; ++step) {
        for (int k = 0; k < extra; ++k) {
            const int code = CommandTable[(step + k) % rows].code;
            if (code != CMD_WRITE_DEBUG) EnqueueCommand(code, polled.get());
        }
        PollStep(polled.get());
        CheckRecord(*polled);
        if (polled->linkState == LINK_AWAITING_REPLY) {
            if (polled->activeIndex < 0 || polled->activeIndex >= rows) Fail("activeIndex");
            const int replyLength = CommandTable[polled->activeIndex].replyLength;
            if (polled->rxCount < 0 || polled->rxCount >= replyLength) Fail("rxCount");
        }
        if (polled->retryCount < 0 || polled->retryCount > 3) Fail("retryCount");
    }
    return 0;
}
