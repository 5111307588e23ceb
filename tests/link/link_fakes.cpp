#include "link_fakes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <random>
#include <thread>

#include "link/device_lock.h"

std::vector<Posted> posts;
std::map<std::string, std::string> store;
bool storeReadable = true;
bool storeWritable = true;
std::vector<int> exits;
int dummyWindow;
bool deviceLockedDuringOpen;

namespace {

std::map<const _ZozeUps*, FakeLine> lines;
std::map<int, FakeOpens> opensByPort;
std::vector<std::string> eventLog;

int ReplyLengthFor(char c, bool query) {
    for (int i = 0; CommandTable[i].code != -1; ++i) {
        const CommandEntry& row = CommandTable[i];
        if (row.commandChar == c && (row.build == SendQuery) == query) return row.replyLength;
    }
    return 0;
}

void FrameSent(FakeLine& line, char c, bool query) {
    eventLog.push_back(std::string("send ") + c);
    int length = ReplyLengthFor(c, query);
    std::vector<uint8_t> payload;
    if (auto it = line.payloads.find(c); it != line.payloads.end()) payload = it->second;
    line.pending = line.autoReply && length > 0 ? MakeReply(c, payload, length) : std::string();
}

int FakeOpen(_ZozeUps* ups) {
    // A failing open waits for the window; no device lock may be held meanwhile.
    std::thread([] {
        for (const _ZozeUps& d : MainUps) {
            if (DeviceMutex(&d).try_lock())
                DeviceMutex(&d).unlock();
            else
                deviceLockedDuringOpen = true;
        }
    }).join();
    FakeOpens& opens = OpensOf(ups->comPort);
    ++opens.count;
    static int openPort;
    if (opens.result == 0) ups->portHandle = &openPort;
    return opens.result;
}

int FakeWrite(const uint8_t* data, int len, _ZozeUps* ups) {
    FakeLine& line = Line(ups);
    line.writes.emplace_back(data, data + len);
    if (len == 1 && line.writes.size() >= 2) {
        const auto& prev = line.writes[line.writes.size() - 2];
        // The second byte of a query completes it.
        if (prev.size() == 1 && prev[0] == 0x80 && data[0] != 0x80) {
            FrameSent(line, static_cast<char>(data[0]), true);
        }
    } else if (len > 1) {
        FrameSent(line, static_cast<char>(data[1]), false);
    }
    return len;
}

int FakeRead(char* dest, int wanted, uint32_t* error, _ZozeUps* ups) {
    FakeLine& line = Line(ups);
    line.wanted.push_back(wanted);
    std::string data;
    uint32_t err = line.silentError;
    if (!line.script.empty()) {
        data = line.script.front().data;
        err = line.script.front().error;
        line.script.pop_front();
        line.pending.clear();
    } else {
        data = line.pending;
    }
    int n = static_cast<int>(data.size()) < wanted ? static_cast<int>(data.size()) : wanted;
    std::memcpy(dest, data.data(), static_cast<size_t>(n));
    if (!line.pending.empty()) line.pending.erase(0, static_cast<size_t>(n));
    if (n == 0) *error = err;
    return n;
}

void FakePurge(int which, _ZozeUps* ups) {
    FakeLine& line = Line(ups);
    line.purges.push_back(which);
    if (which & PORT_PURGE_RX) line.pending.clear();
}

void FakeClose(_ZozeUps* ups) {
    ++Line(ups).closes;
    ups->portHandle = nullptr;
}

void RecordPost(void* window, int message, uintptr_t wParam, intptr_t lParam) {
    posts.push_back({window, message, wParam, lParam});
    eventLog.push_back("post " + std::to_string(message));
}

int StoreRead(const char* name, char* buffer, int size) {
    auto it = store.find(name);
    if (!storeReadable || it == store.end()) return 0;
    std::snprintf(buffer, static_cast<size_t>(size), "%s", it->second.c_str());
    return 1;
}

int StoreWrite(const char* name, const char* text) {
    if (!storeWritable) return 0;
    store[name] = text;
    return 1;
}

const LinkSettingsStore memoryStore = {StoreRead, StoreWrite};

void RecordExit(int status) { exits.push_back(status); }

}  // namespace

const UpsPortOps kFakePort = {FakeOpen, FakeWrite, FakeRead, FakePurge, FakeClose};

FakeLine& Line(const _ZozeUps* ups) { return lines[ups]; }

FakeOpens& OpensOf(int comPort) { return opensByPort[comPort]; }

std::vector<std::string>& EventLog() { return eventLog; }

std::vector<std::string> Frames(const _ZozeUps* ups) {
    std::vector<std::string> frames;
    const auto& writes = lines[ups].writes;
    for (size_t i = 0; i < writes.size(); ++i) {
        std::string f(writes[i].begin(), writes[i].end());
        if (writes[i].size() == 1 && i + 1 < writes.size() && writes[i + 1].size() == 1) {
            f.push_back(static_cast<char>(writes[++i][0]));
        }
        frames.push_back(f);
    }
    return frames;
}

std::string SentChars(const _ZozeUps* ups) {
    std::string chars;
    for (const std::string& f : Frames(ups)) chars.push_back(f.size() > 1 ? f[1] : '?');
    return chars;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

std::string MakeReply(char command, const std::vector<uint8_t>& payload, int length) {
    std::string reply;
    reply.push_back(static_cast<char>(0x80));
    reply.push_back(command);
    if (length < 6) return reply.substr(0, static_cast<size_t>(length));
    std::string bytes(static_cast<size_t>((length - 6) / 2), '\0');
    for (size_t i = 0; i < bytes.size() && i < payload.size(); ++i) bytes[i] = static_cast<char>(payload[i]);
    reply += Hex(bytes);
    int sum = 0;
    for (char c : reply) sum += static_cast<signed char>(c);
    char check[8];
    std::snprintf(check, sizeof check, "%04X", sum & 0xFFFF);
    return reply + check;
}

void LinkTest::SetUp() {
    lines.clear();
    opensByPort.clear();
    deviceLockedDuringOpen = false;
    eventLog.clear();
    posts.clear();
    store.clear();
    exits.clear();
    storeReadable = storeWritable = true;
    SetDefaultPortOps(&kFakePort);
    SetLinkPoster(RecordPost);
    SendHwnd(&dummyWindow);
    SetLinkSettingsStore(&memoryStore);
    SetLinkExitHandler(RecordExit);
    TakeReloadRequest();
    InitDeviceTable();
    std::fflush(stdout);

    oldDir = std::filesystem::current_path();
    // A fresh directory of our own: create_directory reports whether it made it.
    std::random_device random;
    for (int attempt = 0; attempt < 100 && tempDir.empty(); ++attempt) {
        const auto candidate = std::filesystem::temp_directory_path() /
                               ("linktest-" + std::to_string(random()) + "-" + std::to_string(attempt));
        if (std::filesystem::create_directory(candidate)) tempDir = candidate;
    }
    ASSERT_FALSE(tempDir.empty());
    std::filesystem::current_path(tempDir);
}

void LinkTest::TearDown() {
    std::filesystem::current_path(oldDir);
    std::error_code ec;
    std::filesystem::remove_all(tempDir, ec);
    SendHwnd(nullptr);
}

_ZozeUps* LinkTest::ReadyDevice(int device, bool autoReply) {
    _ZozeUps* ups = &MainUps[device];
    ups->present = 1;
    ups->comPort = device + 1;
    Line(ups).autoReply = autoReply;
    OpenDevicePort(ups);
    InitDevice(ups);
    ups->linkState = LINK_READY;
    return ups;
}

void LinkTest::PollUntilFrames(_ZozeUps* ups, size_t frames, int maxSteps) {
    for (int i = 0; i < maxSteps && Frames(ups).size() < frames; ++i) PollStep(ups);
    ASSERT_GE(Frames(ups).size(), frames);
}
