// Link core costs per frame: checking and decoding each reply, building each request.
// Trace lines are sent to /dev/null and "valori.txt" lands in a temporary directory.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "link/link_core.h"

namespace {

int CountingWrite(const uint8_t*, int len, _ZozeUps*) { return len; }
int NoRead(char*, int, uint32_t* error, _ZozeUps*) {
    *error = 0;
    return 0;
}
int NoOpen(_ZozeUps*) { return 0; }
void NoPurge(int, _ZozeUps*) {}
void NoClose(_ZozeUps*) {}
const UpsPortOps benchPort = {NoOpen, CountingWrite, NoRead, NoPurge, NoClose};

// Trace lines would swamp the report; they go nowhere while a benchmark runs.
class QuietStdout {
public:
    QuietStdout() {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }

private:
    int saved_;
};

std::string ValidReply(char command, int length) {
    std::string reply;
    reply.push_back(static_cast<char>(0x80));
    reply.push_back(command);
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < (length - 6) / 2; ++i) {
        int b = (i * 37 + 11) & 0xFF;
        reply.push_back(digits[b >> 4]);
        reply.push_back(digits[b & 15]);
    }
    int sum = 0;
    for (char c : reply) sum += static_cast<signed char>(c);
    char check[8];
    std::snprintf(check, sizeof check, "%04X", sum & 0xFFFF);
    return reply + check;
}

_ZozeUps* BenchDevice() {
    SetDefaultPortOps(&benchPort);
    InitDeviceTable();
    _ZozeUps* ups = &MainUps[0];
    ups->frameAddress = 0x80;
    return ups;
}

void CheckAndDecode(benchmark::State& state, int row) {
    _ZozeUps* ups = BenchDevice();
    const CommandEntry& entry = CommandTable[row];
    std::string reply = ValidReply(entry.commandChar, entry.replyLength);
    QuietStdout quiet;
    for (auto _ : state) {
        int ok = CheckReply(reply.c_str(), ups->payload, entry.replyLength);
        entry.decode(ups);
        benchmark::DoNotOptimize(ok);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * entry.replyLength);
}

void Build(benchmark::State& state, int row) {
    _ZozeUps* ups = BenchDevice();
    const CommandEntry& entry = CommandTable[row];
    QuietStdout quiet;
    for (auto _ : state) {
        benchmark::DoNotOptimize(entry.build(entry.commandChar, ups));
        benchmark::ClobberMemory();
    }
}

void RegisterAll() {
    for (int row = 0; CommandTable[row].code != -1; ++row) {
        const CommandEntry& entry = CommandTable[row];
        std::string name = std::to_string(entry.code) + "_" + std::string(1, entry.commandChar);
        if (entry.replyLength > 2)
            benchmark::RegisterBenchmark(("CheckAndDecode/" + name).c_str(), CheckAndDecode, row);
        if (entry.build != SendQuery || entry.code == CMD_READ_STATUS)
            benchmark::RegisterBenchmark(("Build/" + name).c_str(), Build, row);
    }
}

}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "link-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return 1;
    fs::path old = fs::current_path();
    fs::current_path(pattern);

    RegisterAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    fs::current_path(old);
    std::error_code ec;
    fs::remove_all(pattern, ec);
    return 0;
}
