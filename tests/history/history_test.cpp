#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>

#include "daemon/history/history_store.h"
#include "daemon/nut/nut_session.h"
#include "daemon/nut/users_file.h"
#include "tests/daemon/daemon_fixture.h"
#include "tests/support/child_process.h"

using history::Reading;
using history::Store;

namespace {

constexpr qint64 kT0 = 1'800'000'000;  // a whole hour, seconds since the epoch
constexpr int kVolts = 0, kLoad = 3;

Reading Volts(double v, std::optional<double> load = {}) {
    Reading r;
    r[kVolts] = v;
    r[kLoad] = load;
    return r;
}

struct Fixture : ::testing::Test {
    QTemporaryDir dir;
    qint64 nowMs = kT0 * 1000;
    QStringList log;
    Store store{[this] { return nowMs; }, [this](const QString& line) { log << line; }};

    void At(qint64 seconds) { nowMs = seconds * 1000; }
};

using HistoryStore = Fixture;

// Several refreshes make one row per unit and minute; the minute still running is written only
// on a full flush, and what follows it after a restart is added to the same row.
TEST_F(HistoryStore, RefreshesMakeOneRowPerUnitAndMinute) {
    ASSERT_TRUE(store.Open(dir.path()));
    At(kT0 + 1);
    store.Record("ups", Volts(26.0, 40));
    At(kT0 + 20);
    store.Record("ups", Volts(27.0));
    store.Record("other", Volts(13.0));
    At(kT0 + 59);
    store.Record("ups", Volts(28.0, 50));
    At(kT0 + 61);
    store.Record("ups", Volts(24.0));
    store.Flush();

    auto rows = store.Samples("ups", kT0, kT0 + 3600, 60);
    ASSERT_EQ(rows.size(), 1u);  // the second minute is still open
    EXPECT_EQ(rows[0].start, kT0);
    EXPECT_EQ(rows[0].stats[kVolts].count, 3);
    EXPECT_DOUBLE_EQ(rows[0].stats[kVolts].min, 26.0);
    EXPECT_DOUBLE_EQ(rows[0].stats[kVolts].avg, 27.0);
    EXPECT_DOUBLE_EQ(rows[0].stats[kVolts].max, 28.0);
    EXPECT_EQ(rows[0].stats[kLoad].count, 2);
    EXPECT_DOUBLE_EQ(rows[0].stats[kLoad].avg, 45.0);
    EXPECT_EQ(rows[0].stats[1].count, 0);  // never read
    EXPECT_EQ(store.Samples("other", kT0, kT0 + 3600, 60).size(), 1u);

    store.Close();  // the open minute goes out too
    ASSERT_TRUE(store.Open(dir.path()));
    At(kT0 + 70);
    store.Record("ups", Volts(30.0));
    store.Flush(true);
    rows = store.Samples("ups", kT0, kT0 + 3600, 60);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].start, kT0 + 60);
    EXPECT_EQ(rows[1].stats[kVolts].count, 2);
    EXPECT_DOUBLE_EQ(rows[1].stats[kVolts].min, 24.0);
    EXPECT_DOUBLE_EQ(rows[1].stats[kVolts].avg, 27.0);
    EXPECT_DOUBLE_EQ(rows[1].stats[kVolts].max, 30.0);

    // Re-aggregated to two minutes: weighted by the readings, not by the rows.
    rows = store.Samples("ups", kT0, kT0 + 3600, 120);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].stats[kVolts].count, 5);
    EXPECT_DOUBLE_EQ(rows[0].stats[kVolts].avg, (26 + 27 + 28 + 24 + 30) / 5.0);
    EXPECT_DOUBLE_EQ(rows[0].stats[kVolts].min, 24.0);
    // One quantity alone: the same figures, the others left out.
    const auto volts = store.Samples("ups", kT0, kT0 + 3600, 120, kVolts);
    ASSERT_EQ(volts.size(), 1u);
    EXPECT_EQ(volts[0].stats[kVolts].count, 5);
    EXPECT_DOUBLE_EQ(volts[0].stats[kVolts].avg, rows[0].stats[kVolts].avg);
    EXPECT_EQ(volts[0].stats[kLoad].count, 0);
    // The range is half open and names the unit.
    EXPECT_EQ(store.Samples("ups", kT0 + 60, kT0 + 3600, 60).size(), 1u);
    EXPECT_TRUE(store.Samples("ups", kT0, kT0 + 60 - 60, 60).empty());
    EXPECT_TRUE(store.Samples("nobody", kT0, kT0 + 3600, 60).empty());
}

// Minutes older than 30 days become hours (min of mins, max of maxes, average weighted by
// readings), a bounded number per call; after a year rows and events go.
TEST_F(HistoryStore, FoldsOldMinutesIntoHoursAndForgetsAfterAYear) {
    ASSERT_TRUE(store.Open(dir.path()));
    At(kT0 - 400 * 86400);
    store.Record("ups", Volts(1));
    store.AddEvent("ups", "status", "ancient");
    // Hour 0: one minute of one reading at 10, one of three readings averaging 20.
    At(kT0 + 5);
    store.Record("ups", Volts(10));
    At(kT0 + 125);
    for (double v : {18.0, 20.0, 22.0}) store.Record("ups", Volts(v, 30));
    // Hour 1 and a recent minute.
    At(kT0 + 3600 + 5);
    store.Record("ups", Volts(5));
    const qint64 recent = kT0 + 40 * 86400;
    At(recent);
    store.Record("ups", Volts(7));
    store.AddEvent("ups", "status", "recent");
    store.Flush(true);

    At(kT0 + 31 * 86400 + 7200);  // both hours are past 30 days, the recent minute is not
    EXPECT_TRUE(store.Maintain(1));  // one hour at a time: more to do
    auto rows = store.Samples("ups", kT0, kT0 + 7200, 60);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].start, kT0);  // one hour row where there were two minute rows
    EXPECT_EQ(rows[0].stats[kVolts].count, 4);
    EXPECT_DOUBLE_EQ(rows[0].stats[kVolts].min, 10.0);
    EXPECT_DOUBLE_EQ(rows[0].stats[kVolts].max, 22.0);
    EXPECT_DOUBLE_EQ(rows[0].stats[kVolts].avg, 17.5);  // not (10 + 20) / 2
    EXPECT_EQ(rows[0].stats[kLoad].count, 3);
    EXPECT_DOUBLE_EQ(rows[0].stats[kLoad].avg, 30.0);
    EXPECT_EQ(rows[1].start, kT0 + 3600);
    EXPECT_FALSE(store.Maintain(1));
    EXPECT_FALSE(store.Maintain(1));  // nothing left: a no-op

    // A late minute of an hour already folded is added to it.
    At(kT0 + 600);
    store.Record("ups", Volts(40));
    store.Flush(true);
    At(kT0 + 31 * 86400 + 7200);
    store.Maintain();
    rows = store.Samples("ups", kT0, kT0 + 3600, 3600);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].stats[kVolts].count, 5);
    EXPECT_DOUBLE_EQ(rows[0].stats[kVolts].max, 40.0);
    EXPECT_DOUBLE_EQ(rows[0].stats[kVolts].avg, 22.0);

    // The recent minute is kept as a minute, the one from 400 days ago is gone with its event.
    rows = store.Samples("ups", 0, kT0 + 365 * 86400, 60);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2].start, recent);
    const auto events = store.Events(0, 10);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].text, "recent");
}

// Events keep their order, fields and limit, and survive closing; since is inclusive.
TEST_F(HistoryStore, EventsSurviveReopening) {
    ASSERT_TRUE(store.Open(dir.path()));
    store.AddEvent("ups", "login", "logged in", "monuser", "127.0.0.1");
    At(kT0 + 10);
    store.AddEvent("ups", "instcmd", "test.battery.start: OK", "admin", "::1");
    store.AddEvent("", "port", "COM1: port lost");
    store.Close();
    EXPECT_TRUE(store.Events(0, 10).empty());  // closed: nothing, no crash

    ASSERT_TRUE(store.Open(dir.path()));
    auto events = store.Events(0, 10);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].kind, "login");
    EXPECT_EQ(events[0].user, "monuser");
    EXPECT_EQ(events[0].peer, "127.0.0.1");
    EXPECT_EQ(events[0].timeMs, kT0 * 1000);
    EXPECT_LT(events[0].id, events[1].id);
    events = store.Events((kT0 + 10) * 1000, 1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, "instcmd");
    EXPECT_EQ(events[0].text, "test.battery.start: OK");
}

// A client's words are kept bounded and whole: a user name tried at a login, however long, takes
// at most its share of the file, cut between characters. The file, which names users and their
// addresses, is not for everyone to read, whatever the umask, and neither are its journals.
TEST_F(HistoryStore, EventsAreBoundedAndTheFileIsNotWorldReadable) {
    const mode_t old = umask(0);
    const bool opened = store.Open(dir.path());
    umask(old);
    ASSERT_TRUE(opened);
    std::string longText;
    while (longText.size() < 1000) longText += "caf\xc3\xa9 ";
    store.AddEvent("ups", "login", longText, std::string(5000, 'u'), "127.0.0.1");
    const auto events = store.Events(0, 10);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_LE(events[0].text.size(), history::kMaxEventText);
    EXPECT_GE(events[0].text.size(), history::kMaxEventText - 3);
    EXPECT_TRUE(QString::fromUtf8(events[0].text.c_str()).toUtf8().toStdString() == events[0].text) << "cut inside a character";
    EXPECT_EQ(events[0].user, std::string(history::kMaxEventName, 'u'));
    for (const char* name : {"history.sqlite", "history.sqlite-wal", "history.sqlite-shm"}) {
        const QFile::Permissions p = QFile::permissions(dir.filePath(QLatin1String(name)));
        EXPECT_TRUE(QFile::exists(dir.filePath(QLatin1String(name)))) << name;
        EXPECT_FALSE(p & (QFile::ReadOther | QFile::WriteOther | QFile::WriteGroup)) << name << " " << std::hex << int(p);
    }
    store.Close();

    // A file made wider by hand is narrowed when opened again.
    QFile::setPermissions(store.Path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther | QFile::WriteOther);
    ASSERT_TRUE(store.Open(dir.path()));
    EXPECT_FALSE(QFile::permissions(store.Path()) & (QFile::ReadOther | QFile::WriteOther));
    EXPECT_EQ(store.Events(0, 10).size(), 1u);
}

// A file that is not a database is set aside with a log line and a fresh store works; a folder
// that cannot be made leaves the store off, quietly after the first line.
TEST_F(HistoryStore, DamagedFileIsSetAsideAndUnusableFolderIsSurvived) {
    const QString path = dir.filePath(QStringLiteral("history.sqlite"));
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(8192, 'x'));
    }
    ASSERT_TRUE(store.Open(dir.path()));
    ASSERT_EQ(log.size(), 1);
    EXPECT_TRUE(log[0].contains(QStringLiteral("damaged"))) << log[0].toStdString();
    const QStringList aside = QDir(dir.path()).entryList({QStringLiteral("history.sqlite.damaged-*")});
    ASSERT_EQ(aside.size(), 1);
    EXPECT_EQ(QFileInfo(dir.filePath(aside[0])).size(), 8192);
    store.AddEvent("ups", "status", "OL");
    EXPECT_EQ(store.Events(0, 10).size(), 1u);
    store.Close();

    QFile blocker(dir.filePath(QStringLiteral("file")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    log.clear();
    EXPECT_FALSE(store.Open(dir.filePath(QStringLiteral("file/state"))));
    EXPECT_FALSE(store.IsOpen());
    EXPECT_EQ(log.size(), 1);
    store.Record("ups", Volts(1));
    store.Flush(true);
    store.AddEvent("ups", "status", "OL");
    EXPECT_FALSE(store.Maintain());
    EXPECT_TRUE(store.Samples("ups", 0, kT0 * 2, 60).empty());
    EXPECT_EQ(log.size(), 1);
}

// A writer killed with SIGKILL leaves every minute it flushed and every event it added.
TEST_F(HistoryStore, WriterKilledMidWayLeavesItsRows) {
    const QString ready = dir.filePath(QStringLiteral("ready"));
    const pid_t pid = testsupport::Spawn(QCoreApplication::applicationFilePath(),
                                         {QStringLiteral("--history-writer"), dir.path(), ready});
    ASSERT_GT(pid, 0);
    for (int i = 0; i < 600 && !QFile::exists(ready); ++i) QThread::msleep(50);
    const bool wrote = QFile::exists(ready);
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(wrote);
    EXPECT_TRUE(WIFSIGNALED(status));

    ASSERT_TRUE(store.Open(dir.path()));
    EXPECT_TRUE(log.isEmpty());
    const auto rows = store.Samples("ups", kT0, kT0 + 3600, 60);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_DOUBLE_EQ(rows[2].stats[kVolts].avg, 2.0);
    const auto events = store.Events(0, 100);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[2].text, "2");
}

// What clients do on the NUT side reaches the history through the board, with user and peer.
TEST_F(HistoryStore, ClientActionsBecomeEvents) {
    ASSERT_TRUE(store.Open(dir.path()));
    nut::UnitBoard board(daemontest::TestConfig(), &daemontest::RecordCommand);
    board.SetEventSink([this](const std::string& unit, const char* kind, const std::string& text,
                              const std::string& user, const std::string& peer) {
        store.AddEvent(unit, kind, text, user, peer);
    });
    board.SetPresent(0, true, 1);
    daemontest::Now() = 1000;
    board.Update(0, *daemontest::OnLineUnit(), daemontest::Now());
    const nut::UsersFile users = nut::ParseUsersFile(
        "[mon]\n password = m\n upsmon primary\n instcmds = test.battery.start\n");
    nut::Session s(&board, &users, "::1", &daemontest::TestClock);
    std::string out;
    for (const char* line : {"USERNAME mon", "PASSWORD wrong", "INSTCMD vespero0 test.battery.start"}) s.Handle(line, &out);
    nut::Session mon(&board, &users, "127.0.0.1", &daemontest::TestClock);
    for (const char* line : {"USERNAME mon", "PASSWORD m", "LOGIN vespero0", "INSTCMD vespero0 test.battery.start 60",
                             "INSTCMD vespero0 battery.charge.start", "FSD vespero0"})
        mon.Handle(line, &out);
    daemontest::Now() += 3'600'000;  // stale by now
    mon.Handle("INSTCMD vespero0 test.battery.start", &out);

    const auto events = store.Events(0, 100);
    std::vector<std::string> seen;
    for (const auto& e : events) seen.push_back(e.unit + "|" + e.kind + "|" + e.text + "|" + e.user + "|" + e.peer);
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "|login|authentication failed|mon|::1",
                        "vespero0|login|logged in|mon|127.0.0.1",
                        "vespero0|instcmd|test.battery.start 60: OK|mon|127.0.0.1",
                        "vespero0|instcmd|battery.charge.start: ACCESS-DENIED|mon|127.0.0.1",
                        "vespero0|fsd|forced shutdown set|mon|127.0.0.1",
                        "vespero0|instcmd|test.battery.start: DATA-STALE|mon|127.0.0.1",
                    }));
}

// The child of the test above: writes three minutes and three events, says so, then waits to
// be killed with its store still open.
int RunWriter(const QString& dir, const QString& ready) {
    qint64 now = kT0 * 1000;
    Store store([&] { return now; }, {});
    if (!store.Open(dir)) return 1;
    for (int m = 0; m < 3; ++m) {
        now = (kT0 + m * 60) * 1000;
        store.Record("ups", Volts(m));
        store.AddEvent("ups", "status", std::to_string(m));
    }
    now += 60'000;
    store.Flush();
    store.Record("ups", Volts(99));  // an open minute, never written
    QFile f(ready);
    if (!f.open(QIODevice::WriteOnly)) return 1;
    f.close();
    for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 4 && std::string(argv[1]) == "--history-writer")
        return RunWriter(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
