// Test doubles for the link core: a scripted serial line per record, an in-memory settings
// store, a recording poster and a fixture that gives every test a fresh table and working dir.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "link/link_core.h"

struct ReadAction {
    std::string data;    // characters served (cut to what the read asks for)
    uint32_t error = 0;  // reported when data is empty
};

struct FakeLine {
    std::vector<std::vector<uint8_t>> writes;  // one entry per write call
    std::deque<ReadAction> script;             // served first, one per read
    bool autoReply = false;                    // then: answer each frame as a healthy unit
    uint32_t silentError = 0;                  // error of a read that gets nothing
    std::map<char, std::vector<uint8_t>> payloads;  // reply payload per command character
    std::string pending;                       // rest of the automatic reply
    std::vector<int> wanted;                   // the count each read asked for
    std::vector<int> purges;
    int closes = 0;
};

extern const UpsPortOps kFakePort;
FakeLine& Line(const _ZozeUps* ups);

// Opens are told apart by port number: the link opens a private copy of the record.
struct FakeOpens {
    int count = 0;
    int result = 0;  // what the open returns
};
FakeOpens& OpensOf(int comPort);
extern bool deviceLockedDuringOpen;  // some device lock was held while a port opened

// Everything the fakes saw, in order: "send <char>" per complete frame, "post <message>".
std::vector<std::string>& EventLog();

// Frames as the unit sees them: the two one-byte writes of a query joined.
std::vector<std::string> Frames(const _ZozeUps* ups);
// The command character of every frame sent, in order.
std::string SentChars(const _ZozeUps* ups);

// A reply frame as a unit builds it: leading characters, payload in hex, signed-sum checksum.
std::string MakeReply(char command, const std::vector<uint8_t>& payload, int length);
std::string Hex(const std::string& bytes);

struct Posted {
    void* window;
    int message;
    uintptr_t wParam;
    intptr_t lParam;
};
extern std::vector<Posted> posts;
extern std::map<std::string, std::string> store;
extern bool storeReadable;
extern bool storeWritable;
extern std::vector<int> exits;
extern int dummyWindow;

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // A present device on the fake port, opened and ready as the link start leaves it.
    _ZozeUps* ReadyDevice(int device, bool autoReply = true);
    // Runs passes of PollStep on one device until `frames` frames have been sent in total.
    void PollUntilFrames(_ZozeUps* ups, size_t frames, int maxSteps = 10000);

    std::filesystem::path oldDir;
    std::filesystem::path tempDir;
};
