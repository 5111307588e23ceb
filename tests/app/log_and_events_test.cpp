#include <QFile>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <limits>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

#include "app/aldera_app.h"
#include "app/data_log.h"
#include "link/port/port_errors.h"
#include "link/port/ups_event.h"
#include "support.h"

namespace {

// 7 December 2026, 09:05 local time.
std::time_t SevenDecember() {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 7;
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 42;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

const QByteArray kHeader = "Date,Time,Frgen,Vbatt,Iout,Pout,PowerPerc,CCBStatus,Tbatt,Ibatt\r\n";
const QByteArray kZeroRow = "07/12/2026,09:05,0.0,0.0,0,0,0,0,0.0,0.0\r\n";

TEST(DataLogRow, FormatsEveryColumn) {
    UpsStatusBlock s{};
    EXPECT_EQ(FormatLogRow(s, SevenDecember()), kZeroRow);
    s.inputFrequency = 50.04;
    s.batteryVoltage = 54.25;
    s.outputCurrent = -3.7;
    s.outputPower = 1234.9;
    s.powerPercent = 42;
    s.ccbStatus = 3;
    s.batteryTemperature = -4.06;
    s.inputCurrent = 12.35;
    EXPECT_EQ(FormatLogRow(s, SevenDecember()),
              "07/12/2026,09:05,50.0,54.2,-3,1234,42,3,-4.1,12.3\r\n");
    // Truncation toward zero never prints "-0"; non-numbers are written as such, never as a
    // made-up integer.
    s.outputCurrent = -0.5;
    s.outputPower = std::numeric_limits<double>::quiet_NaN();
    s.batteryTemperature = std::numeric_limits<double>::infinity();
    EXPECT_EQ(FormatLogRow(s, SevenDecember()),
              "07/12/2026,09:05,50.0,54.2,0,nan,42,3,inf,12.3\r\n");
    s.outputPower = 1e300;
    EXPECT_TRUE(FormatLogRow(s, SevenDecember()).endsWith(",inf,12.3\r\n"));
}

struct LogFixture : PanelFixture {
    LogFixture() { view->SetClock(SevenDecember); }
    void Refreshes(int n) {
        for (int i = 0; i < n; ++i) view->OnUpsRefresh();
    }
    QString LogPath() const { return dir.filePath("log.txt"); }
};

TEST(DataLog, FirstRowOnTheEleventhRefreshThenEveryThousandAndFirst) {
    LogFixture f;
    // The unit's rating is 0: the very first refresh stops at the rating (it differs from the
    // start value) and does not count; the next ten count down, the one after writes.
    f.Refreshes(11);
    EXPECT_FALSE(QFile::exists(f.LogPath()));
    f.Refreshes(1);
    EXPECT_EQ(ReadAll(f.LogPath()), kHeader + kZeroRow);
    EXPECT_EQ(f.view->logCountdown(), 1000);
    f.Refreshes(1000);
    EXPECT_EQ(ReadAll(f.LogPath()), kHeader + kZeroRow);
    f.Refreshes(1);
    EXPECT_EQ(ReadAll(f.LogPath()), kHeader + kZeroRow + kZeroRow);
    EXPECT_TRUE(f.boxes.boxes.empty());
}

TEST(DataLog, ExistingFileIsAppendedWithoutHeader) {
    LogFixture f;
    {
        QFile log(f.LogPath());
        ASSERT_TRUE(log.open(QIODevice::WriteOnly));
        log.write("no header here\r\n");
    }
    EditDevice0([](_ZozeUps& u) { u.status.powerUnits = 1; u.status.inputFrequency = 49.96; });
    f.view->WriteDataLog();
    EXPECT_EQ(ReadAll(f.LogPath()),
              "no header here\r\n07/12/2026,09:05,50.0,0.0,0,0,0,0,0.0,0.0\r\n");
}

TEST(DataLog, FileThatCannotBeOpenedShowsOneBoxAndTheProgramGoesOn) {
    LogFixture f;
    ASSERT_TRUE(QDir(f.dir.path()).mkdir("log.txt"));  // even root cannot write a directory
    f.Refreshes(12);
    ASSERT_EQ(f.boxes.boxes.size(), 1u);
    const ShownBox& box = f.boxes.boxes[0];
    EXPECT_EQ(box.caption, "Error while logging");
    EXPECT_EQ(box.icon, BoxIcon::Stop);
    EXPECT_TRUE(box.owned);
    EXPECT_EQ(box.text, QString::fromLocal8Bit(std::strerror(EISDIR)));
    EXPECT_EQ(f.view->logCountdown(), 1000);
    f.Refreshes(5);
    EXPECT_EQ(f.boxes.boxes.size(), 1u);
}

TEST(DataLog, FailedWriteIsReportedAndLeavesNoPartialRow) {
    LogFixture f;
    // A full device: the open succeeds, the write fails.
    ASSERT_EQ(::symlink("/dev/full", f.LogPath().toLocal8Bit().constData()), 0);
    f.view->WriteDataLog();
    ASSERT_EQ(f.boxes.boxes.size(), 1u);
    EXPECT_EQ(f.boxes.boxes[0].text, QString::fromLocal8Bit(std::strerror(ENOSPC)));
    ASSERT_TRUE(QFile::remove(f.LogPath()));

    // A file-size limit cuts the write short: the file goes back to what it held.
    const QByteArray before = "earlier rows\r\n";
    {
        QFile log(f.LogPath());
        ASSERT_TRUE(log.open(QIODevice::WriteOnly));
        log.write(before);
    }
    auto* oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit tight = old;
    tight.rlim_cur = rlim_t(before.size() + 10);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    f.view->WriteDataLog();
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(ReadAll(f.LogPath()), before);
    ASSERT_EQ(f.boxes.boxes.size(), 2u);
    EXPECT_EQ(f.boxes.boxes[1].caption, "Error while logging");

    // A new file whose first write fails is removed, so the next one starts with the header.
    ASSERT_TRUE(QFile::remove(f.LogPath()));
    tight.rlim_cur = 20;
    std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    f.view->WriteDataLog();
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(QFile::exists(f.LogPath()));
    f.view->WriteDataLog();
    EXPECT_EQ(ReadAll(f.LogPath()), kHeader + kZeroRow);
}

TEST(LinkEvents, CodesZeroToTwoShowUnownedModelessBoxes) {
    PanelFixture p;
    std::vector<int> exits;
    p.view->SetExitHandler([&](int status) {
        exits.push_back(status);
        EXPECT_EQ(p.boxes.boxes.size(), 3u);  // the box came first
    });
    EXPECT_EQ(p.view->OnUpsEvent(0, 0), 0);
    EXPECT_EQ(p.view->OnUpsEvent(1, 0), 0);
    EXPECT_TRUE(exits.empty());
    EXPECT_EQ(p.view->OnUpsEvent(2, 7), 0);
    ASSERT_EQ(p.boxes.boxes.size(), 3u);
    const char* texts[] = {"Comunication with the EX resumed", "Comunication with the Ex Lost",
                           "Cannot open Serial Interface\nExiting"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(p.boxes.boxes[i].text, texts[i]);
        EXPECT_EQ(p.boxes.boxes[i].caption, "Ex");
        EXPECT_FALSE(p.boxes.boxes[i].owned);
        EXPECT_TRUE(p.boxes.boxes[i].modeless);
    }
    EXPECT_EQ(exits, std::vector<int>{0});
}

TEST(LinkEvents, OtherCodesDoNothing) {
    PanelFixture p;
    bool exited = false;
    p.view->SetExitHandler([&](int) { exited = true; });
    for (uintptr_t code : {3u, 4u, 5u, 6u, 7u, 8u, 1000u})
        EXPECT_EQ(p.view->OnUpsEvent(code, 0x00020003), 0);
    EXPECT_EQ(p.view->OnUpsEvent(uintptr_t(-1), 0), 0);
    EXPECT_TRUE(p.boxes.boxes.empty());
    EXPECT_FALSE(exited);
}

TEST(LinkEvents, PostedEventArrivesAsABox) {
    PanelFixture p;
    QCoreApplication::postEvent(p.view, new UpsMessageEvent(WM_UPS_EVENT, 1, 3));
    QCoreApplication::processEvents();
    ASSERT_EQ(p.boxes.boxes.size(), 1u);
    EXPECT_EQ(p.boxes.boxes[0].text, "Comunication with the Ex Lost");
}

TEST(PortErrorBoxes, ShownOnTheWindowThreadWhileTheLinkWaits) {
    BoxLog boxes;
    QThread* windowThread = QThread::currentThread();
    QThread* shownOn = nullptr;
    SetMessageBoxAnswerer([&](const ShownBox& box) {
        shownOn = QThread::currentThread();
        boxes.boxes.push_back(box);
    });
    InstallPortErrorBoxes();
    std::atomic<bool> returned{false};
    std::thread link([&] {
        ReportPortError("Access denied", "GetLastError");
        returned = true;
    });
    for (int i = 0; i < 2000 && !returned; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::yield();
    }
    link.join();
    ASSERT_TRUE(returned);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(shownOn, windowThread);
    EXPECT_EQ(boxes.boxes[0].text, "Access denied\n\nTo use another port, start vespero --port-chooser (or, once "
                                   "the monitor runs, choose File > Config ComPort).");
    EXPECT_EQ(boxes.boxes[0].caption, "GetLastError");
    EXPECT_EQ(boxes.boxes[0].icon, BoxIcon::Information);
    EXPECT_FALSE(boxes.boxes[0].owned);

    // Once the window thread has stopped taking work, a report cannot block the link.
    ClosePortErrorBoxes();
    std::thread late([] { ReportPortError("late", "GetLastError"); });
    late.join();
    QCoreApplication::processEvents();
    EXPECT_EQ(boxes.boxes.size(), 1u);
    SetPortErrorReporter(nullptr);
}

}  // namespace
