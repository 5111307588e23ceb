// The NUT protocol as a client sees it: words and quoting, every answer form and error code,
// the rights of each kind of user, and stale data.
#include <gtest/gtest.h>

#include <string>

#include "daemon/nut/nut_words.h"
#include "daemon_fixture.h"

using namespace daemontest;

namespace {

TEST(NutWords, SplitsQuotedAndEscapedArguments) {
    std::vector<std::string> w;
    ASSERT_EQ(nut::SplitRequest(R"(SET VAR ups ups.id "say \"hi\" \\ ok")", &w), nut::SplitResult::Ok);
    ASSERT_EQ(w.size(), 5u);
    EXPECT_EQ(w[4], R"(say "hi" \ ok)");

    ASSERT_EQ(nut::SplitRequest("GET\tVAR  ups \"\"\r", &w), nut::SplitResult::Ok);
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[3], "");  // an empty quoted argument still counts

    EXPECT_EQ(nut::SplitRequest("GET VAR \"open", &w), nut::SplitResult::UnterminatedQuote);
    EXPECT_EQ(nut::SplitRequest("GET VAR x\\", &w), nut::SplitResult::TrailingBackslash);
    ASSERT_EQ(nut::SplitRequest("   ", &w), nut::SplitResult::Ok);
    EXPECT_TRUE(w.empty());
}

TEST(NutWords, QuotedValuesSplitBackToThemselves) {
    for (const std::string value : {"", "plain", "two words", "\"", "\\", "a\\\"b", "end\\"}) {
        std::vector<std::string> w;
        ASSERT_EQ(nut::SplitRequest("X " + nut::Quote(value), &w), nut::SplitResult::Ok) << value;
        ASSERT_EQ(w.size(), 2u) << value;
        EXPECT_EQ(w[1], value);
    }
}

class SessionTest : public ::testing::Test {
protected:
    SessionTest() : board_(TestConfig(), &RecordCommand) {
        Queued().clear();
        Now() = 1000;
        users_ = nut::ParseUsersFile(
            "[admin]\n password = " + QByteArray::fromStdString(nut::HashPassword("s3cret", 1000)) +
            "\n instcmds = test.battery.start\n actions = SET\n"
            "[mon]\n password = \"mon pass\"\n upsmon primary\n"
            "[peer]\n password = p\n upsmon secondary\n"
            "[boss]\n password = b\n instcmds = ALL\n actions = FSD\n");
        board_.SetPresent(0, true, 1);
        Fresh();
    }

    void Fresh(void (*change)(_ZozeUps*) = nullptr) {
        auto u = OnLineUnit();
        if (change) change(u.get());
        board_.Update(0, *u, Now());
    }

    std::string Ask(nut::Session& s, const std::string& line, bool* open = nullptr) {
        std::string out;
        const bool keep = s.Handle(line, &out);
        if (open) *open = keep;
        return out;
    }

    std::unique_ptr<nut::Session> NewSession(const std::string& peer = "127.0.0.1") {
        return std::make_unique<nut::Session>(&board_, &users_, peer, &TestClock);
    }

    void LogIn(nut::Session& s, const char* user, const char* password) {
        ASSERT_EQ(Ask(s, std::string("USERNAME ") + user), "OK\n");
        ASSERT_EQ(Ask(s, std::string("PASSWORD ") + password), "OK\n");
    }

    nut::UnitBoard board_;
    nut::UsersFile users_;
};

TEST_F(SessionTest, AnswersEveryReadRequestInItsOwnForm) {
    auto s = NewSession();
    const std::pair<const char*, const char*> cases[] = {
        {"NETVER", "1.3\n"},
        {"LIST UPS", "BEGIN LIST UPS\nUPS vespero0 \"Rack \\\"A\\\" unit 0\"\nEND LIST UPS\n"},
        {"GET VAR vespero0 ups.status", "VAR vespero0 ups.status \"OL CHRG\"\n"},
        {"get var vespero0 battery.voltage", "VAR vespero0 battery.voltage \"54.0\"\n"},
        {"GET TYPE vespero0 battery.voltage", "TYPE vespero0 battery.voltage NUMBER\n"},
        {"GET TYPE vespero0 ups.status", "TYPE vespero0 ups.status STRING:64\n"},
        {"GET DESC vespero0 ups.status", "DESC vespero0 ups.status \"Status\"\n"},
        {"GET DESC vespero0 some.thing", "DESC vespero0 some.thing \"Description unavailable\"\n"},
        {"GET CMDDESC vespero0 test.battery.start", "CMDDESC vespero0 test.battery.start \"Start a battery test\"\n"},
        {"GET UPSDESC vespero0", "UPSDESC vespero0 \"Rack \\\"A\\\" unit 0\"\n"},
        {"GET NUMLOGINS vespero0", "NUMLOGINS vespero0 0\n"},
        {"LIST CMD vespero0", "BEGIN LIST CMD vespero0\nCMD vespero0 battery.charge.start\n"
                              "CMD vespero0 test.battery.start\nEND LIST CMD vespero0\n"},
        {"LIST RW vespero0", "BEGIN LIST RW vespero0\nEND LIST RW vespero0\n"},
        {"LIST ENUM vespero0 ups.status", "BEGIN LIST ENUM vespero0 ups.status\nEND LIST ENUM vespero0 ups.status\n"},
        {"LIST RANGE vespero0 ups.load", "BEGIN LIST RANGE vespero0 ups.load\nEND LIST RANGE vespero0 ups.load\n"},
        {"LIST CLIENT vespero0", "BEGIN LIST CLIENT vespero0\nEND LIST CLIENT vespero0\n"},
        {"GET TRACKING", "OFF\n"},
        {"", "ERR UNKNOWN-COMMAND\n"},  // as the reference server answers a blank line
    };
    for (const auto& [request, answer] : cases) EXPECT_EQ(Ask(*s, request), answer) << request;

    const std::string list = Ask(*s, "LIST VAR vespero0");
    EXPECT_EQ(list.rfind("BEGIN LIST VAR vespero0\n", 0), 0u);
    EXPECT_NE(list.find("VAR vespero0 ups.status \"OL CHRG\"\n"), std::string::npos);
    EXPECT_NE(list.find("VAR vespero0 ups.firmware \"1.04\"\n"), std::string::npos);
    EXPECT_TRUE(list.ends_with("END LIST VAR vespero0\n"));
    EXPECT_EQ(Ask(*s, "VER").rfind("Vespero vesperod ", 0), 0u);
    EXPECT_NE(Ask(*s, "HELP").find("INSTCMD"), std::string::npos);
}

TEST_F(SessionTest, NamesEveryFaultWithItsErrorCode) {
    auto s = NewSession();
    const std::pair<const char*, const char*> cases[] = {
        {"FROB", "ERR UNKNOWN-COMMAND\n"},
        {"GET", "ERR INVALID-ARGUMENT\n"},
        {"GET VAR vespero0", "ERR INVALID-ARGUMENT\n"},
        {"GET VAR vespero0 a b", "ERR INVALID-ARGUMENT\n"},
        {"GET COLOUR vespero0", "ERR INVALID-ARGUMENT\n"},
        {"LIST", "ERR INVALID-ARGUMENT\n"},
        {"LIST UPS extra", "ERR INVALID-ARGUMENT\n"},
        {"LIST ENUM vespero0", "ERR INVALID-ARGUMENT\n"},
        {"GET VAR \"unterminated", "ERR INVALID-ARGUMENT\n"},
        {"GET VAR vespero9 ups.status", "ERR UNKNOWN-UPS\n"},
        {"GET VAR vespero1 ups.status", "ERR UNKNOWN-UPS\n"},  // configured name, but not present
        {"LIST VAR nobody", "ERR UNKNOWN-UPS\n"},
        {"GET VAR vespero0 no.such.var", "ERR VAR-NOT-SUPPORTED\n"},
        {"LIST RANGE vespero0 no.such.var", "ERR VAR-NOT-SUPPORTED\n"},
        {"GET CMDDESC vespero0 load.off", "ERR CMD-NOT-SUPPORTED\n"},
        {"STARTTLS", "ERR FEATURE-NOT-CONFIGURED\n"},
        {"SET TRACKING MAYBE", "ERR INVALID-ARGUMENT\n"},
        {"GET TRACKING 00000000-0000-0000-0000-000000000000", "ERR UNKNOWN\n"},
        {"INSTCMD vespero0 test.battery.start", "ERR USERNAME-REQUIRED\n"},
        {"LOGIN vespero0", "ERR USERNAME-REQUIRED\n"},
        {"FSD vespero0", "ERR USERNAME-REQUIRED\n"},
        {"SET VAR vespero0 ups.load \"3\"", "ERR USERNAME-REQUIRED\n"},
        {"USERNAME", "ERR INVALID-ARGUMENT\n"},
        {"USERNAME \"\"", "ERR INVALID-USERNAME\n"},
        {"PASSWORD \"\"", "ERR INVALID-PASSWORD\n"},
    };
    for (const auto& [request, answer] : cases) EXPECT_EQ(Ask(*s, request), answer) << request;
    EXPECT_TRUE(Queued().empty());

    bool open = true;
    EXPECT_EQ(Ask(*s, "LOGOUT", &open), "OK Goodbye\n");
    EXPECT_FALSE(open);
}

TEST_F(SessionTest, CommandsNeedTheRightUserPasswordAndGrant) {
    auto s = NewSession();
    ASSERT_EQ(Ask(*s, "USERNAME admin"), "OK\n");
    EXPECT_EQ(Ask(*s, "USERNAME other"), "ERR ALREADY-SET-USERNAME\n");
    EXPECT_EQ(Ask(*s, "INSTCMD vespero0 test.battery.start"), "ERR PASSWORD-REQUIRED\n");
    ASSERT_EQ(Ask(*s, "PASSWORD wrong"), "OK\n");
    EXPECT_EQ(Ask(*s, "PASSWORD s3cret"), "ERR ALREADY-SET-PASSWORD\n");
    EXPECT_EQ(Ask(*s, "INSTCMD vespero0 test.battery.start"), "ERR ACCESS-DENIED\n");
    EXPECT_TRUE(Queued().empty());

    auto admin = NewSession();
    LogIn(*admin, "admin", "s3cret");  // stored as a salted hash
    EXPECT_EQ(Ask(*admin, "INSTCMD vespero0 test.battery.start 300"), "OK\n");
    EXPECT_EQ(Ask(*admin, "INSTCMD vespero0 test.battery.start"), "OK\n");
    ASSERT_EQ(Queued().size(), 2u);
    EXPECT_EQ(Queued()[0].type, KEYB_TEST_BATTERY);
    EXPECT_EQ(Queued()[0].device, 0);
    EXPECT_EQ(Queued()[0].value, 300);
    EXPECT_EQ(Queued()[1].value, 0);

    EXPECT_EQ(Ask(*admin, "INSTCMD vespero0 battery.charge.start"), "ERR ACCESS-DENIED\n");  // not granted
    EXPECT_EQ(Ask(*admin, "INSTCMD vespero0 test.battery.start 65536"), "ERR INVALID-ARGUMENT\n");
    EXPECT_EQ(Ask(*admin, "INSTCMD vespero0 test.battery.start 12x"), "ERR INVALID-ARGUMENT\n");
    EXPECT_EQ(Ask(*admin, "INSTCMD vespero0 shutdown.return"), "ERR CMD-NOT-SUPPORTED\n");
    EXPECT_EQ(Ask(*admin, "INSTCMD vespero7 test.battery.start"), "ERR UNKNOWN-UPS\n");
    EXPECT_EQ(Ask(*admin, "SET VAR vespero0 ups.load \"3\""), "ERR READONLY\n");
    EXPECT_EQ(Ask(*admin, "SET VAR vespero0 no.var \"3\""), "ERR VAR-NOT-SUPPORTED\n");
    EXPECT_EQ(Ask(*admin, "FSD vespero0"), "ERR ACCESS-DENIED\n");
    EXPECT_EQ(Ask(*admin, "LOGIN vespero0"), "ERR ACCESS-DENIED\n");  // not an upsmon user
    EXPECT_EQ(Queued().size(), 2u);

    auto boss = NewSession();
    LogIn(*boss, "boss", "b");
    EXPECT_EQ(Ask(*boss, "INSTCMD vespero0 battery.charge.start"), "OK\n");
    EXPECT_EQ(Ask(*boss, "INSTCMD vespero0 battery.charge.start 5"), "ERR INVALID-ARGUMENT\n");
    EXPECT_EQ(Ask(*boss, "SET VAR vespero0 ups.load \"3\""), "ERR ACCESS-DENIED\n");
    ASSERT_EQ(Queued().size(), 3u);
    EXPECT_EQ(Queued()[2].type, KEYB_RECHARGE);

    auto unknown = NewSession();
    LogIn(*unknown, "ghost", "s3cret");
    EXPECT_EQ(Ask(*unknown, "INSTCMD vespero0 test.battery.start"), "ERR ACCESS-DENIED\n");
}

// The link's outcome counts for the battery test, moved by the test.
uint32_t testAccepted = 0, testDropped = 0;
int TestOutcomes(int code, int device, uint32_t* accepted, uint32_t* dropped) {
    if (code != CMD_TEST_BATTERY || device != 0) return 0;
    *accepted = testAccepted;
    *dropped = testDropped;
    return 1;
}

TEST_F(SessionTest, TrackedCommandsArePendingUntilTheUnitAcceptsOrTheLinkGivesUp) {
    board_.SetOutcomes(&TestOutcomes);
    auto s = NewSession();
    LogIn(*s, "admin", "s3cret");
    EXPECT_EQ(Ask(*s, "GET TRACKING"), "OFF\n");
    EXPECT_EQ(Ask(*s, "SET TRACKING on"), "OK\n");
    EXPECT_EQ(Ask(*s, "GET TRACKING"), "ON\n");
    EXPECT_EQ(Ask(*NewSession(), "GET TRACKING"), "OFF\n") << "a setting of the session";

    auto idOf = [](const std::string& answer) { return answer.substr(std::string("OK TRACKING ").size(), 36); };
    const std::string first = Ask(*s, "INSTCMD vespero0 test.battery.start");
    ASSERT_EQ(first.rfind("OK TRACKING ", 0), 0u) << first;
    EXPECT_EQ(Ask(*s, "GET TRACKING " + idOf(first)), "PENDING\n");
    ++testAccepted;
    EXPECT_EQ(Ask(*s, "GET TRACKING " + idOf(first)), "SUCCESS\n");

    const std::string second = Ask(*s, "INSTCMD vespero0 test.battery.start");
    ASSERT_NE(idOf(second), idOf(first));
    ++testDropped;
    EXPECT_EQ(Ask(*s, "GET TRACKING " + idOf(second)), "ERR FAILED\n");
    ++testAccepted;
    EXPECT_EQ(Ask(*s, "GET TRACKING " + idOf(second)), "ERR FAILED\n") << "a verdict stays";
    EXPECT_EQ(Queued().size(), 2u);

    // Known to any session, and forgotten after an hour.
    EXPECT_EQ(Ask(*NewSession(), "GET TRACKING " + idOf(first)), "SUCCESS\n");
    Now() += 3600 * 1000;
    EXPECT_EQ(Ask(*s, "GET TRACKING " + idOf(first)), "SUCCESS\n");
    Now() += 1;
    EXPECT_EQ(Ask(*s, "GET TRACKING " + idOf(first)), "ERR UNKNOWN\n");

    Fresh();
    EXPECT_EQ(Ask(*s, "SET TRACKING OFF"), "OK\n");
    EXPECT_EQ(Ask(*s, "INSTCMD vespero0 test.battery.start"), "OK\n");
}

TEST_F(SessionTest, NamesMatchWithoutRegardToCaseAndProtverIsNetver) {
    auto s = NewSession();
    EXPECT_EQ(Ask(*s, "PROTVER"), Ask(*s, "NETVER"));
    EXPECT_EQ(Ask(*s, "GET VAR vespero0 UPS.Status"), "VAR vespero0 UPS.Status \"OL CHRG\"\n");
    EXPECT_EQ(Ask(*s, "GET DESC vespero0 Battery.Voltage"), "DESC vespero0 Battery.Voltage \"Battery voltage (V)\"\n");
    EXPECT_EQ(Ask(*s, "GET CMDDESC vespero0 TEST.battery.start").rfind("CMDDESC vespero0 TEST.battery.start \"", 0), 0u);
    LogIn(*s, "admin", "s3cret");
    EXPECT_EQ(Ask(*s, "INSTCMD vespero0 Test.Battery.Start"), "OK\n");
    ASSERT_EQ(Queued().size(), 1u);
}

TEST_F(SessionTest, UnitNamesMatchWithoutRegardToCaseAndAreEchoedAsSpelled) {
    auto s = NewSession();
    // A client checks that a reply names the unit as its request did, so the reply keeps its spelling.
    EXPECT_EQ(Ask(*s, "GET VAR VESPERO0 ups.status"), "VAR VESPERO0 ups.status \"OL CHRG\"\n");
    EXPECT_EQ(Ask(*s, "GET UPSDESC Vespero0"), "UPSDESC Vespero0 \"Rack \\\"A\\\" unit 0\"\n");
    EXPECT_EQ(Ask(*s, "GET NUMLOGINS vesPERo0"), "NUMLOGINS vesPERo0 0\n");
    EXPECT_EQ(Ask(*s, "LIST RW VESPERO0"), "BEGIN LIST RW VESPERO0\nEND LIST RW VESPERO0\n");
    const std::string list = Ask(*s, "LIST VAR Vespero0");
    EXPECT_EQ(list.rfind("BEGIN LIST VAR Vespero0\n", 0), 0u);
    EXPECT_NE(list.find("VAR Vespero0 ups.status \"OL CHRG\"\n"), std::string::npos);
    EXPECT_EQ(list.find("vespero0"), std::string::npos);
    EXPECT_TRUE(list.ends_with("END LIST VAR Vespero0\n"));
    // The configured spelling still gets the cached reply, unchanged by the other spelling's request.
    EXPECT_EQ(Ask(*s, "LIST VAR vespero0").rfind("BEGIN LIST VAR vespero0\n", 0), 0u);
    EXPECT_EQ(Ask(*s, "GET VAR vespero ups.status"), "ERR UNKNOWN-UPS\n");
    EXPECT_EQ(Ask(*s, "GET VAR vespero00 ups.status"), "ERR UNKNOWN-UPS\n");

    LogIn(*s, "mon", "\"mon pass\"");
    EXPECT_EQ(Ask(*s, "LOGIN VESPERO0"), "OK\n");
    EXPECT_EQ(Ask(*s, "GET NUMLOGINS vespero0"), "NUMLOGINS vespero0 1\n");  // one unit, whichever spelling
    EXPECT_EQ(Ask(*s, "PRIMARY Vespero0"), "OK PRIMARY-GRANTED\n");
    EXPECT_EQ(Ask(*s, "FSD VESPERO0"), "OK FSD-SET\n");
    EXPECT_EQ(Ask(*s, "GET VAR vespero0 ups.status").rfind("VAR vespero0 ups.status \"FSD ", 0), 0u);
}

TEST_F(SessionTest, ADeferredPasswordCheckHoldsItsRequestAndIsMadeOncePerSession) {
    auto s = NewSession();
    s->DeferPasswordChecks(true);
    LogIn(*s, "admin", "wrong");
    EXPECT_EQ(Ask(*s, "INSTCMD vespero0 test.battery.start"), "");  // waits for the verdict
    ASSERT_TRUE(s->PendingCheck());
    s->SetVerdict(s->PendingCheck()->Run());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Ask(*s, "INSTCMD vespero0 test.battery.start"), "ERR ACCESS-DENIED\n");
        EXPECT_FALSE(s->PendingCheck());
    }

    // Refused without a check (too many failures from its address): that request is denied,
    // and the next one asks for a check again.
    auto later = NewSession();
    later->DeferPasswordChecks(true);
    LogIn(*later, "admin", "s3cret");
    EXPECT_EQ(Ask(*later, "LOGIN vespero0"), "");
    later->RefuseCheck();
    EXPECT_EQ(Ask(*later, "LOGIN vespero0"), "ERR ACCESS-DENIED\n");
    EXPECT_EQ(Ask(*later, "INSTCMD vespero0 test.battery.start"), "");
    later->SetVerdict(later->PendingCheck()->Run());
    EXPECT_EQ(Ask(*later, "INSTCMD vespero0 test.battery.start"), "OK\n");
    EXPECT_EQ(Queued().size(), 1u);

    // A reload that removes the user or changes its password voids a kept verdict.
    auto boss = NewSession();
    LogIn(*boss, "boss", "b");
    EXPECT_EQ(Ask(*boss, "FSD vespero0"), "OK FSD-SET\n");
    users_.users.at("boss").password = "c";
    EXPECT_EQ(Ask(*boss, "FSD vespero0"), "ERR ACCESS-DENIED\n");
    users_.users.erase("boss");
    EXPECT_EQ(Ask(*boss, "INSTCMD vespero0 battery.charge.start"), "ERR ACCESS-DENIED\n");
    EXPECT_EQ(Queued().size(), 1u);
}

TEST_F(SessionTest, UpsmonLoginsArePrimaryOnlyFsdAndCountedUntilTheSessionEnds) {
    auto primary = NewSession("192.0.2.7");
    LogIn(*primary, "mon", "\"mon pass\"");
    EXPECT_EQ(Ask(*primary, "LOGIN vespero9"), "ERR UNKNOWN-UPS\n");
    EXPECT_EQ(Ask(*primary, "LOGIN vespero0"), "OK\n");
    EXPECT_EQ(Ask(*primary, "LOGIN vespero0"), "ERR ALREADY-LOGGED-IN\n");
    EXPECT_EQ(Ask(*primary, "PRIMARY vespero0"), "OK PRIMARY-GRANTED\n");
    EXPECT_EQ(Ask(*primary, "MASTER vespero0"), "OK MASTER-GRANTED\n");

    auto secondary = NewSession("::1");
    LogIn(*secondary, "peer", "p");
    EXPECT_EQ(Ask(*secondary, "LOGIN vespero0"), "OK\n");
    EXPECT_EQ(Ask(*secondary, "PRIMARY vespero0"), "ERR ACCESS-DENIED\n");
    EXPECT_EQ(Ask(*secondary, "FSD vespero0"), "ERR ACCESS-DENIED\n");
    EXPECT_EQ(Ask(*secondary, "GET NUMLOGINS vespero0"), "NUMLOGINS vespero0 2\n");
    EXPECT_EQ(Ask(*secondary, "LIST CLIENT vespero0"),
              "BEGIN LIST CLIENT vespero0\nCLIENT vespero0 192.0.2.7\nCLIENT vespero0 ::1\nEND LIST CLIENT vespero0\n");

    EXPECT_EQ(Ask(*primary, "FSD vespero0"), "OK FSD-SET\n");
    EXPECT_EQ(Ask(*secondary, "GET VAR vespero0 ups.status"), "VAR vespero0 ups.status \"FSD OL CHRG\"\n");
    Fresh();  // the latch outlives new data
    EXPECT_EQ(Ask(*secondary, "GET VAR vespero0 ups.status"), "VAR vespero0 ups.status \"FSD OL CHRG\"\n");

    primary.reset();
    EXPECT_EQ(Ask(*secondary, "GET NUMLOGINS vespero0"), "NUMLOGINS vespero0 1\n");
    EXPECT_TRUE(Queued().empty());  // FSD is the server's flag, never a command to the unit
}

TEST_F(SessionTest, DataIsStaleBeforeTheFirstStatusWhileTimeoutAndWhenTheLinkFallsSilent) {
    nut::UnitBoard fresh(TestConfig(), &RecordCommand);
    fresh.SetPresent(0, true, 1);
    nut::Session early(&fresh, &users_, "127.0.0.1", &TestClock);
    std::string out;
    early.Handle("GET VAR vespero0 ups.status", &out);
    early.Handle("LIST VAR vespero0", &out);
    EXPECT_EQ(out, "ERR DATA-STALE\nERR DATA-STALE\n");

    auto s = NewSession();
    LogIn(*s, "admin", "s3cret");
    Fresh([](_ZozeUps* u) { std::strcpy(u->stateText, "Timeout"); });
    EXPECT_EQ(Ask(*s, "GET VAR vespero0 ups.status"), "ERR DATA-STALE\n");
    EXPECT_EQ(Ask(*s, "INSTCMD vespero0 test.battery.start"), "ERR DATA-STALE\n");
    EXPECT_TRUE(Queued().empty());
    EXPECT_EQ(Ask(*s, "GET UPSDESC vespero0").rfind("UPSDESC", 0), 0u);  // the unit itself is still known

    Fresh();
    EXPECT_EQ(Ask(*s, "GET VAR vespero0 ups.status"), "VAR vespero0 ups.status \"OL CHRG\"\n");
    Now() += 15001;  // no refresh from the link for longer than stale_after
    EXPECT_EQ(Ask(*s, "GET VAR vespero0 ups.status"), "ERR DATA-STALE\n");
    Fresh();
    EXPECT_EQ(Ask(*s, "GET VAR vespero0 ups.status"), "VAR vespero0 ups.status \"OL CHRG\"\n");
}

TEST_F(SessionTest, TextsFromTheUnitAreEscapedInReplies) {
    Fresh([](_ZozeUps* u) { std::strcpy(u->protocolAddsRead.modelName, "Big \"One\" \\2"); });
    auto s = NewSession();
    EXPECT_EQ(Ask(*s, "GET VAR vespero0 device.model"), "VAR vespero0 device.model \"Big \\\"One\\\" \\\\2\"\n");
    EXPECT_NE(Ask(*s, "LIST VAR vespero0").find("VAR vespero0 ups.model \"Big \\\"One\\\" \\\\2\"\n"), std::string::npos);
}

}  // namespace
