// Command table look-up and the per-unit ring with its retry slot.
#include "link_fakes.h"

namespace {

using QueueTest = LinkTest;

TEST_F(QueueTest, TableKeepsItsStoredOrderAndRows) {
    const int expected[] = {110, 111, 112, 130, 96,  97,  100, 106, 107, 113, 108,
                            131, 101, 99,  115, 104, 105, 109, 119, 121, 122, 127,
                            123, 128, 144, 145, 146, 147, 148, 149, 150, 151};
    int rows = 0;
    while (CommandTable[rows].code != -1) ++rows;
    ASSERT_EQ(rows, 32);
    for (int i = 0; i < rows; ++i) EXPECT_EQ(CommandTable[i].code, expected[i]) << i;
    EXPECT_EQ(FindCommand(-1), -1);
    EXPECT_EQ(FindCommand(0), -1);
    EXPECT_EQ(FindCommand(133), -1);
    EXPECT_EQ(FindCommand(CMD_READ_SYSTEM_FAILURE), 0);
    EXPECT_EQ(FindCommand(CMD_RECHARGE), 31);
    // Both 'P' rows exist; their frames differ in length only.
    EXPECT_EQ(CommandTable[FindCommand(CMD_WRITE_PI)].commandChar, 'P');
    EXPECT_EQ(CommandTable[FindCommand(CMD_WRITE_PROTOCOL_ADDS_1)].commandChar, 'P');
    EXPECT_EQ(CommandTable[FindCommand(CMD_WRITE_USER_PARAMS)].replyLength, 54);
    EXPECT_EQ(CommandTable[FindCommand(CMD_READ_PROTOCOL_ADDS)].replyLength, 190);
    for (int i = 0; i < rows; ++i) {
        int payloadBytes = (CommandTable[i].replyLength - 6) / 2;
        EXPECT_TRUE(CommandTable[i].replyLength == 2 || payloadBytes <= 92) << i;
    }
}

TEST_F(QueueTest, UnknownCodeIsRefusedAndLeavesTheRingAlone) {
    _ZozeUps* ups = &MainUps[0];
    EXPECT_EQ(EnqueueCommand(133, ups), -1);
    EXPECT_EQ(EnqueueCommand(-1, ups), -1);
    EXPECT_EQ(ups->ringWrite, 0);
    EXPECT_EQ(NextCommand(ups), -1);
}

TEST_F(QueueTest, RetryGoesBeforeTheRingAndIsTakenOnce) {
    _ZozeUps* ups = &MainUps[1];
    EXPECT_EQ(EnqueueCommand(104, ups), 0);
    EXPECT_EQ(EnqueueCommand(105, ups), 0);
    SetRetry(97, ups);
    SetRetry(96, ups);  // replaces the earlier retry
    EXPECT_EQ(NextCommand(ups), 96);
    EXPECT_EQ(NextCommand(ups), 104);
    EXPECT_EQ(NextCommand(ups), 105);
    EXPECT_EQ(NextCommand(ups), -1);
    EXPECT_EQ(NextCommand(ups), -1);
}

TEST_F(QueueTest, NinetyNineCodesComeBackInOrderAcrossTheWrap) {
    _ZozeUps* ups = &MainUps[0];
    // Move the indices near the end so the run wraps from slot 99 to slot 0.
    for (int i = 0; i < 60; ++i) EnqueueCommand(CMD_READ_STATUS, ups);
    for (int i = 0; i < 60; ++i) NextCommand(ups);
    ASSERT_EQ(ups->ringRead, 60);
    std::vector<int> codes;
    for (int i = 0; CommandTable[i].code != -1; ++i) codes.push_back(CommandTable[i].code);
    for (int i = 0; i < 99; ++i) ASSERT_EQ(EnqueueCommand(codes[i % codes.size()], ups), 0) << i;
    EXPECT_EQ(ups->ringWrite, (60 + 99) % 100);
    // Full: one more is refused and nothing is overwritten.
    EXPECT_EQ(EnqueueCommand(CMD_RECHARGE, ups), -1);
    EXPECT_EQ(ups->ringWrite, (60 + 99) % 100);
    for (int i = 0; i < 99; ++i) ASSERT_EQ(NextCommand(ups), codes[i % codes.size()]) << i;
    EXPECT_EQ(NextCommand(ups), -1);
    EXPECT_EQ(EnqueueCommand(CMD_RECHARGE, ups), 0);
    EXPECT_EQ(NextCommand(ups), CMD_RECHARGE);
}

TEST_F(QueueTest, CorruptIndicesRestartAnEmptyRing) {
    _ZozeUps* ups = &MainUps[2];
    ups->ringRead = 250;
    ups->ringWrite = -3;
    EXPECT_EQ(NextCommand(ups), -1);
    EXPECT_EQ(EnqueueCommand(CMD_READ_AUX, ups), 0);
    EXPECT_EQ(NextCommand(ups), CMD_READ_AUX);
}

}  // namespace
