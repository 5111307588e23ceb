// vesperod's request handling against whatever a network client may send.
//
// Input: request lines separated by '\n', all handled by one session in turn (so user name,
// password and login state carry over). Invariants: every request, a blank one too, gets an
// answer that ends in a line end; an error is "ERR" and one upper-case word; no answer holds a stray NUL;
// and splitting a line, quoting each word and splitting again gives the same words.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "daemon/nut/nut_session.h"
#include "daemon/nut/nut_words.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz_nut_request: invariant broken: %s [%s]\n", what, detail.c_str());
    std::abort();
}

int IgnoreCommand(int, int, int, int) { return 1; }
qint64 FixedClock() { return 5000; }

struct World {
    World() : board(Config(), &IgnoreCommand) {
        users = nut::ParseUsersFile(
            "[admin]\n password = pw\n instcmds = ALL\n actions = SET FSD\n upsmon primary\n"
            "[hashed]\n password = " + QByteArray::fromStdString(nut::HashPassword("pw", 1)) + "\n upsmon secondary\n");
        board.SetPresent(0, true, 1);
        board.SetPresent(2, true, 3);
        auto u = std::make_unique<_ZozeUps>();
        std::memset(u.get(), 0, sizeof *u);
        u->status.stateCode = 18;
        u->status.currentUnits = 4;
        u->status.batteryVoltage = 40;
        std::strcpy(u->stateText, "On_Battery");
        std::strcpy(u->protocolAddsRead.modelName, "M \"q\" \\");
        board.Update(0, *u, 5000);
    }
    static nut::DaemonConfig Config() {
        nut::DaemonConfig c;
        for (int i = 0; i < 4; ++i) c.unitName[i] = QStringLiteral("u%1").arg(i);
        return c;
    }
    nut::UnitBoard board;
    nut::UsersFile users;
};

void CheckRoundTrip(const std::string& line) {
    std::vector<std::string> words;
    if (nut::SplitRequest(line, &words) != nut::SplitResult::Ok) return;
    std::string again;
    for (const std::string& w : words) again += nut::Quote(w) + " ";
    std::vector<std::string> back;
    if (nut::SplitRequest(again, &back) != nut::SplitResult::Ok || back != words) Fail("quote round trip", line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static World* world = new World();
    nut::Session session(&world->board, &world->users, "127.0.0.1", &FixedClock);
    const std::string input(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start <= input.size()) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        const std::string line = input.substr(start, end - start);
        start = end + 1;
        CheckRoundTrip(line);
        std::string out;
        const bool open = session.Handle(line, &out);
        if (out.empty()) Fail("answer missing", line);
        if (!out.empty() && out.back() != '\n') Fail("answer without line end", line);
        if (out.rfind("ERR ", 0) == 0) {
            const size_t stop = out.find_first_of(" \n", 4);
            for (size_t i = 4; i < stop; ++i)
                if (!((out[i] >= 'A' && out[i] <= 'Z') || out[i] == '-')) Fail("error word", out);
        }
        if (!open) break;
    }
    return 0;
}
