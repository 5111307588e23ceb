// The poll step over a scripted line: cycle contents and order, rotation, retries, drops,
// "Timeout", and how several units share the passes.
#include "link_fakes.h"

namespace {

using PollTest = LinkTest;

std::vector<uint8_t> StatusPayload(unsigned state, unsigned flags12) {
    std::vector<uint8_t> p(52, 0);
    p[28] = static_cast<uint8_t>(flags12 >> 8);
    p[29] = static_cast<uint8_t>(flags12);
    p[32] = static_cast<uint8_t>(state >> 8);
    p[33] = static_cast<uint8_t>(state);
    p[14] = 0x07;  // 56 V
    return p;
}

int CountPosts(int message) {
    int n = 0;
    for (const Posted& p : posts) n += p.message == message;
    return n;
}

TEST_F(PollTest, RefreshIsPostedBeforeTheFirstSendOfEachCycle) {
    _ZozeUps* ups = ReadyDevice(0);
    PollStep(ups);
    ASSERT_EQ(EventLog().size(), 2u);
    EXPECT_EQ(EventLog()[0], "post 1039");
    EXPECT_EQ(EventLog()[1], "send 3");
    EXPECT_EQ(posts.at(0).window, &dummyWindow);
    EXPECT_EQ(posts.at(0).wParam, 0u);
    EXPECT_EQ(posts.at(0).lParam, 0);
    EXPECT_EQ(ups->linkState, LINK_AWAITING_REPLY);
    PollUntilFrames(ups, 3);
    const std::vector<std::string> expected = {"post 1039", "send 3", "send d", "post 1039", "send 3"};
    EXPECT_EQ(EventLog(), expected);
}

TEST_F(PollTest, RotationSpansTenCyclesAndStartsEmptyAfterOpen) {
    _ZozeUps* ups = ReadyDevice(0);
    const std::string cycles = "3d" "3dV4" "3d&%" "3dp" "3dB" "3d1" "3d5" "3dC" "3dQ" "3d6" "3d" "3dV4";
    PollUntilFrames(ups, cycles.size());
    EXPECT_EQ(SentChars(ups), cycles);
    EXPECT_EQ(CountPosts(WM_UPS_REFRESH), 12);
    // Every cycle's replies were decoded: the rotation reads set their flags.
    EXPECT_EQ(ups->adReadFlags, 3);
    EXPECT_EQ(ups->setupValid, 1);
    EXPECT_EQ(ups->errorCount, 0);
}

TEST_F(PollTest, FlaggedBatteryTestIsReadInTheNextCycle) {
    _ZozeUps* ups = ReadyDevice(0);
    Line(ups).payloads['3'] = StatusPayload(2, 0x8000);
    Line(ups).payloads['7'] = {0x12, 0x34};
    PollUntilFrames(ups, 7);
    EXPECT_EQ(SentChars(ups), "3d" "3d7V4");
    PollUntilFrames(ups, 8);  // the battery-test reply has been read by now
    EXPECT_EQ(ups->batteryTestStatus, 0x1234);
}

TEST_F(PollTest, SilentUnitGetsEveryCommandFourTimesAndShowsTimeout) {
    _ZozeUps* ups = ReadyDevice(0, false);
    Line(ups).silentError = 0x79;
    std::snprintf(ups->stateText, sizeof ups->stateText, "On_Line");
    ups->status.batteryVoltage = 56;

    testing::internal::CaptureStdout();
    for (int step = 0; step < 6; ++step) PollStep(ups);  // send, read, read, send, read, send
    EXPECT_STREQ(ups->stateText, "On_Line");
    PollStep(ups);  // the fourth empty read
    EXPECT_STREQ(ups->stateText, "Timeout");
    EXPECT_EQ(ups->timeoutShown, 1);
    EXPECT_EQ(ups->emptyReadCount, 4);
    std::string trace = testing::internal::GetCapturedStdout();
    // "Error 79 ActiveCommand 60 Tue Dec  8 01:30:01 2026\n": code, command, 24-char local time.
    const std::string head = "Error 79 ActiveCommand 60 ";
    size_t at = trace.find(head);
    ASSERT_NE(at, std::string::npos) << trace;
    std::string when = trace.substr(at + head.size(), 25);
    ASSERT_EQ(when.size(), 25u);
    EXPECT_EQ(when[3], ' ');
    EXPECT_EQ(when[7], ' ');
    EXPECT_EQ(when[13], ':');
    EXPECT_EQ(when[16], ':');
    EXPECT_EQ(when[19], ' ');
    EXPECT_EQ(when[24], '\n');

    for (int step = 0; step < 11; ++step) PollStep(ups);
    EXPECT_EQ(SentChars(ups), "3333dddd3");
    EXPECT_EQ(Line(ups).wanted.size(), 5u + 4u);
    EXPECT_EQ(CountPosts(WM_UPS_REFRESH), 2);
    EXPECT_EQ(ups->emptyReadCount, 4);
    EXPECT_DOUBLE_EQ(ups->status.batteryVoltage, 56.0);
    EXPECT_STREQ(ups->stateText, "Timeout");
}

TEST_F(PollTest, LinkReturnClearsTheTimeoutOnce) {
    _ZozeUps* ups = ReadyDevice(0, false);
    Line(ups).silentError = 0x79;
    Line(ups).payloads['3'] = StatusPayload(2, 0);
    testing::internal::CaptureStdout();
    for (int step = 0; step < 7; ++step) PollStep(ups);
    ASSERT_STREQ(ups->stateText, "Timeout");
    Line(ups).autoReply = true;
    PollStep(ups);  // fourth send of the status read
    PollStep(ups);  // its good reply
    testing::internal::GetCapturedStdout();
    EXPECT_STREQ(ups->stateText, "On_Line");
    EXPECT_EQ(ups->timeoutShown, 0);
    EXPECT_EQ(ups->retryCount, 0);
    EXPECT_EQ(ups->errorCount, 0);
    EXPECT_EQ(ups->emptyReadCount, 0);
    EXPECT_EQ(SentChars(ups), "3333");
}

TEST_F(PollTest, PendingReadsAreNotCountedAsErrors) {
    _ZozeUps* ups = ReadyDevice(0, false);
    Line(ups).silentError = ERROR_IO_PENDING_CODE;
    std::snprintf(ups->stateText, sizeof ups->stateText, "Stand_By");
    testing::internal::CaptureStdout();
    for (int step = 0; step < 4; ++step) PollStep(ups);
    EXPECT_STRNE(ups->stateText, "Timeout");
    PollStep(ups);
    testing::internal::GetCapturedStdout();
    EXPECT_STREQ(ups->stateText, "Timeout");
    EXPECT_EQ(ups->errorCount, 0);
    EXPECT_EQ(ups->overlapped.lastError, static_cast<uint32_t>(ERROR_IO_PENDING_CODE));
    EXPECT_EQ(SentChars(ups), "3");  // still waiting for the first reply, never re-sent
    Line(ups).script.push_back({MakeReply('3', StatusPayload(18, 0), 110)});
    PollStep(ups);
    EXPECT_EQ(ups->linkState, LINK_READY);
    EXPECT_STREQ(ups->stateText, "On_Battery");
}

TEST_F(PollTest, OneBadChecksumOnlyCountsTheNextTwoRetry) {
    _ZozeUps* ups = ReadyDevice(0);
    std::string bad = MakeReply('3', StatusPayload(2, 0), 110);
    bad.back() = bad.back() == '0' ? '1' : '0';
    Line(ups).script.push_back({bad});
    PollStep(ups);
    PollStep(ups);
    EXPECT_EQ(ups->errorCount, 1);
    EXPECT_EQ(ups->linkState, LINK_READY);
    EXPECT_STREQ(ups->stateText, "Timeout");  // nothing decoded
    PollUntilFrames(ups, 3);
    EXPECT_EQ(SentChars(ups), "3d3");  // not re-sent: the next command was taken
    EXPECT_EQ(ups->errorCount, 0);     // the debug reply was good

    std::string badDebug = MakeReply('d', {}, 54);
    badDebug[5] = 'F';
    Line(ups).script.push_back({bad});
    Line(ups).script.push_back({badDebug});
    PollUntilFrames(ups, 5);
    EXPECT_EQ(SentChars(ups), "3d3" "dd");  // the second bad reply in a row retries
    EXPECT_EQ(ups->retryCount, 1);
}

TEST_F(PollTest, ReplyIsCollectedOverSeveralReads) {
    _ZozeUps* ups = ReadyDevice(0, false);
    std::string reply = MakeReply('3', StatusPayload(3, 0), 110);
    Line(ups).script.push_back({reply.substr(0, 50)});
    Line(ups).script.push_back({reply.substr(50)});
    PollStep(ups);
    PollStep(ups);
    EXPECT_EQ(ups->linkState, LINK_AWAITING_REPLY);
    EXPECT_EQ(ups->rxCount, 50);
    PollStep(ups);
    EXPECT_EQ(Line(ups).wanted, (std::vector<int>{110, 60}));
    EXPECT_EQ(ups->linkState, LINK_READY);
    EXPECT_STREQ(ups->stateText, "Stand_By");
    EXPECT_EQ(ups->bytesRead, 60u);
}

TEST_F(PollTest, OversizedReadIsCutToWhatWasAsked) {
    _ZozeUps* ups = ReadyDevice(0, false);
    std::string reply = MakeReply('3', StatusPayload(2, 0), 110);
    Line(ups).script.push_back({reply + std::string(3000, 'Z')});
    PollStep(ups);
    PollStep(ups);
    EXPECT_STREQ(ups->stateText, "On_Line");
}

TEST_F(PollTest, TwoUnitsAreServedOneStepEachPerPass) {
    _ZozeUps* a = ReadyDevice(0);
    _ZozeUps* b = ReadyDevice(2);
    Line(b).payloads['3'] = StatusPayload(18, 0);
    EXPECT_EQ(LinkPass(), 2);
    EXPECT_EQ(Frames(a).size(), 1u);
    EXPECT_EQ(Frames(b).size(), 1u);
    EXPECT_EQ(LinkPass(), 2);
    EXPECT_EQ(LinkPass(), 2);
    EXPECT_EQ(SentChars(a), "3d");
    EXPECT_EQ(SentChars(b), "3d");
    EXPECT_STREQ(a->stateText, "Starting_pre_PFC");
    EXPECT_STREQ(b->stateText, "On_Battery");
    EXPECT_EQ(Frames(&MainUps[1]).size(), 0u);
}

}  // namespace

namespace {

TEST_F(PollTest, OutcomesTellAnAcceptedCommandFromADroppedOne) {
    _ZozeUps* ups = ReadyDevice(0);
    uint32_t accepted = 0, dropped = 0, accepted0 = 0, dropped0 = 0;
    ASSERT_EQ(CommandOutcomes(CMD_TEST_BATTERY, ups, &accepted0, &dropped0), 1);
    EXPECT_EQ(CommandOutcomes(-5, ups, &accepted, &dropped), 0);

    EnqueueCommand(CMD_TEST_BATTERY, ups);
    for (int i = 0; i < 40 && accepted == accepted0; ++i) {
        PollStep(ups);
        CommandOutcomes(CMD_TEST_BATTERY, ups, &accepted, &dropped);
    }
    EXPECT_EQ(accepted, accepted0 + 1);
    EXPECT_EQ(dropped, dropped0);

    // A unit that stops answering: four sends, then the command is given up.
    Line(ups).autoReply = false;
    Line(ups).pending.clear();
    Line(ups).silentError = 0x79;
    testing::internal::CaptureStdout();
    EnqueueCommand(CMD_TEST_BATTERY, ups);
    for (int i = 0; i < 80 && dropped == dropped0; ++i) {
        PollStep(ups);
        CommandOutcomes(CMD_TEST_BATTERY, ups, &accepted, &dropped);
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(dropped, dropped0 + 1);
    EXPECT_EQ(accepted, accepted0 + 1);
}

}  // namespace
