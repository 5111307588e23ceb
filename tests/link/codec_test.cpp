// Frame codec: request frames and their unsigned checksum, replies and their signed one.
#include <random>

#include "link_fakes.h"

namespace {

using CodecTest = LinkTest;

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int v : b) s.push_back(static_cast<char>(v));
    return s;
}

TEST_F(CodecTest, WordCommandFramesMatchTheWorkedExamples) {
    _ZozeUps* ups = ReadyDevice(0);
    ups->frameAddress = 0x80;
    ups->debugWrite[0] = 0;
    BuildWordCommand('S', ups);
    ups->debugWrite[0] = 300;
    BuildWordCommand('S', ups);
    ups->debugWrite[0] = -2;
    BuildWordCommand('r', ups);
    ups->batteryTestParam = 0x1234;
    BuildTestBattery('b', ups);

    auto frames = Frames(ups);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0], Bytes({0x80, 0x53, 0x30, 0x30, 0x30, 0x30, 0x30, 0x31, 0x39, 0x33}));
    EXPECT_EQ(frames[1], "\x80S012C01A9");
    EXPECT_EQ(frames[2].substr(0, 6), "\x80rFFFE");
    EXPECT_EQ(frames[3], "\x80" "b123401AC");
    EXPECT_EQ(ups->bytesWritten, 10u);
}

TEST_F(CodecTest, QueryIsTwoSingleByteWritesAndSetsTheFrameAddress) {
    _ZozeUps* ups = ReadyDevice(0);
    ups->frameAddress = 0x41;
    EXPECT_EQ(SendQuery('3', ups), 2);
    const auto& writes = Line(ups).writes;
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0], std::vector<uint8_t>{0x80});
    EXPECT_EQ(writes[1], std::vector<uint8_t>{'3'});
    EXPECT_EQ(ups->frameAddress, 0x80);
    EXPECT_EQ(ups->txQuery[0], 0x80);
    EXPECT_EQ(ups->txQuery[1], '3');
}

TEST_F(CodecTest, FrameStartsWithTheLowByteOfTheFrameAddress) {
    _ZozeUps* ups = ReadyDevice(0);
    ups->frameAddress = 0x1C1;
    ups->debugWrite[0] = 0;
    BuildWordCommand('S', ups);
    std::string f = Frames(ups).at(0);
    EXPECT_EQ(static_cast<uint8_t>(f[0]), 0xC1);
    // 0xC1 + 'S' + 4 x '0' = 0x1D4
    EXPECT_EQ(f.substr(6), "01D4");
}

TEST_F(CodecTest, VersionReplyUsesTheSignedSum) {
    std::string reply = "\x80V" "312E3034" + std::string(32, '0');
    uint8_t out[64];
    EXPECT_EQ(CheckReply((reply + "077B").c_str(), out, 46), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 4), "1.04");
    EXPECT_EQ(out[4], 0);
    EXPECT_EQ(out[20], 0);  // NUL after the last payload byte
    EXPECT_EQ(CheckReply((reply + "077b").c_str(), out, 46), 1);
    EXPECT_EQ(CheckReply((reply + "087B").c_str(), out, 46), 0);
    EXPECT_EQ(MakeReply('V', {'1', '.', '0', '4'}, 46), reply + "077B");
}

TEST_F(CodecTest, ShortRepliesAreAcceptedWhateverTheyHold) {
    uint8_t out[8] = {};
    EXPECT_EQ(CheckReply("\xff\x01", out, 2), 1);
    EXPECT_EQ(CheckReply("", out, 0), 1);
    EXPECT_EQ(CheckReply(nullptr, out, 0), 1);
}

TEST_F(CodecTest, WordReaders) {
    const uint8_t p[] = {0x12, 0x34, 0xFF, 0xFE};
    EXPECT_EQ(BigEndianWord(p), 0x1234u);
    EXPECT_EQ(static_cast<int16_t>(BigEndianWord(p + 2)), -2);
    EXPECT_EQ(WordSwappedLong(p), 0xFFFE1234u);
}

// Garbage of every length, in a buffer exactly as long as the reply, never reads or writes
// outside it (the sanitizer build turns any stray access into a failure).
TEST_F(CodecTest, GarbageNeverEscapesTheBuffers) {
    std::mt19937 rng(7);
    for (int length = 0; length <= 2001; length += (length < 300 ? 1 : 97)) {
        std::vector<char> text(static_cast<size_t>(length) + (length == 0 ? 1 : 0));
        for (char& c : text) c = static_cast<char>(rng());
        std::vector<uint8_t> out(static_cast<size_t>(length / 2 + 2), 0xEE);
        int r = CheckReply(text.data(), out.data(), length);
        if (length < 6) {
            EXPECT_EQ(r, 1);
        }
        if (length > 2000) {
            EXPECT_EQ(r, 0);
        }
    }
}

TEST_F(CodecTest, RandomRepliesWithTheirChecksumAreAcceptedAndDecodedBack) {
    std::mt19937 rng(11);
    for (int round = 0; round < 200; ++round) {
        int length = 8 + 2 * static_cast<int>(rng() % 100);
        std::vector<uint8_t> payload(static_cast<size_t>((length - 6) / 2));
        for (uint8_t& b : payload) b = static_cast<uint8_t>(rng());
        std::string reply = MakeReply(static_cast<char>(rng()), payload, length);
        std::vector<uint8_t> out(payload.size() + 1);
        ASSERT_EQ(CheckReply(reply.c_str(), out.data(), length), 1) << reply;
        out.pop_back();
        EXPECT_EQ(out, payload);
        reply[2 + rng() % (length - 6)] ^= 0x01;  // one flipped bit in the payload
        out.resize(payload.size() + 1);
        EXPECT_EQ(CheckReply(reply.c_str(), out.data(), length), 0);
    }
}

TEST_F(CodecTest, OddLengthReadsTheTerminatorNotBeyond) {
    // Seven characters: one pair, then a checksum whose last character is the NUL after it.
    std::vector<char> text = {'A', 'B', '0', '0', '0', '0', '0'};
    uint8_t out[4];
    EXPECT_EQ(CheckReply(text.data(), out, 7), 0);
}

}  // namespace
