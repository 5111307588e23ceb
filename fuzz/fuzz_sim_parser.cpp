// vespero-sim's request parser on whatever arrives on its line.
//
// The simulator's own source is compiled in (its main renamed), so the bytes go through the real
// framing (Simulator::Feed, Complete), checksum test, Unit::Answer and reply writer. Its replies
// land in a memory file instead of the pseudo-terminal and must each be well formed: 0x80, a
// known command character, the reply length of that command, uppercase hex after the leading
// pair and, unless poisoned replies were asked for, a signed-sum checksum that matches.
//
// Input: one byte of options (state code, stand-by reason, battery test, poisoning, read chunk
// size), then the line's bytes. Between chunks the line is taken to fall quiet, as between two
// reads of the real loop, which completes a short 'P' frame.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

// The parser's state lives in private members; the fuzzer needs to drive them directly. Every
// header is already in, so only the simulator's own classes see this.
#define private public
#define main vespero_sim_main
#include "sim/vespero_sim.cpp"
#undef main
#undef private

namespace {

[[noreturn]] void Fail(const char* what, size_t at) {
    std::fprintf(stderr, "fuzz_sim_parser: invariant broken: %s at reply byte %zu\n", what, at);
    std::abort();
}

// Reply lengths by command character, from the protocol's command table (not the simulator's).
int ReplyLength(char c) {
    switch (c) {
    case '1': return 178;
    case 'B': case '3': return 110;
    case 'p': case 'R': case 'a': case 'd': return 54;
    case 'V': return 46;
    case '5': return 114;
    case 'Q': return 174;
    case 'C': return 38;
    case 'i': return 34;
    case 'f': return 98;
    case '&': case '%': case '6': return 70;
    case '4': return 190;
    case '7': return 42;
    case 'S': case 'k': case 'P': case 'U': case 'D': case 'W': case 'G': case '#': case 'O':
    case 'r': case 'T': case 'b': case 'M': return 2;
    default: return 0;
    }
}

bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

void CheckReplies(const std::string& out, bool poisoned) {
    size_t pos = 0;
    while (pos < out.size()) {
        if (out.size() - pos < 2) Fail("reply cut short", pos);
        if (uint8_t(out[pos]) != 0x80) Fail("reply does not start with 0x80", pos);
        const int length = ReplyLength(out[pos + 1]);
        if (length == 0) Fail("reply to an unknown command", pos);
        if (out.size() - pos < size_t(length)) Fail("reply shorter than its command's", pos);
        if (length > 2) {
            for (int i = 2; i < length; ++i)
                if (!IsUpperHex(out[pos + size_t(i)])) Fail("reply character not uppercase hex", pos);
            unsigned sum = 0;
            for (int i = 0; i < length - 4; ++i) sum += unsigned(int(static_cast<signed char>(out[pos + size_t(i)])));
            unsigned stated = unsigned(std::stoul(out.substr(pos + size_t(length) - 4, 4), nullptr, 16));
            if (!poisoned && stated != (sum & 0xFFFF)) Fail("reply checksum", pos);
        }
        pos += size_t(length);
    }
}

int replies = -1;  // memory file standing in for the pseudo-terminal

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    replies = memfd_create("sim-replies", MFD_CLOEXEC);
    if (replies < 0) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t flags = data[0];
    Options options;
    options.unit.stateCode = (flags & 3) == 3 ? 18 : (flags & 3);
    options.unit.standbyReason = (flags >> 2) & 1 ? 13 : 0;
    options.unit.batteryTestPending = (flags >> 3) & 1;
    const bool poisoned = (flags >> 4) & 1;
    if (poisoned) options.corrupt = 0.5;
    const size_t chunk = (flags >> 5) == 0 ? size : size_t(flags >> 5) * 3;

    if (ftruncate(replies, 0) != 0 || lseek(replies, 0, SEEK_SET) != 0) std::abort();
    {
        Simulator sim(options);
        sim.master_ = replies;
        for (size_t at = 1; at < size; at += chunk) {
            sim.Feed(data + at, std::min(chunk, size - at));
            // The line falls quiet: a complete short 'P' frame is taken.
            if (sim.frame_.size() == 30 && sim.frame_[1] == 'P') sim.Complete();
            if (sim.frame_.size() > 174) Fail("partial frame longer than any request", sim.frame_.size());
        }
        sim.master_ = -1;
    }

    struct stat st {};
    if (fstat(replies, &st) != 0) std::abort();
    std::string out(size_t(st.st_size), '\0');
    if (!out.empty() && pread(replies, out.data(), out.size(), 0) != ssize_t(out.size())) std::abort();
    CheckReplies(out, poisoned);
    return 0;
}
