#include <QDeadlineTimer>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QWheelEvent>
#include <QComboBox>
#include <QtCharts/QAreaSeries>
#include <QtCharts/QChart>
#include <QtCharts/QCategoryAxis>
#include <QRegularExpression>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "app/data_log.h"
#include "app/desktop/desktop_extras.h"
#include "app/trend/log_reader.h"
#include "app/trend/trend_axis.h"
#include "app/trend/trend_ring.h"
#include "app/trend/trend_window.h"
#include "support.h"

namespace {

std::time_t LocalTime(int year, int month, int day, int hour, int minute) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

TrendSample Sample(int64_t msecs, float v) {
    TrendSample s;
    s.msecs = msecs;
    for (float& x : s.value) x = v;
    return s;
}

TEST(TrendRing, KeepsTheNewestInFixedMemory) {
    TrendRing ring(3);
    EXPECT_TRUE(ring.empty());
    for (int i = 1; i <= 5; ++i) ring.Add(Sample(i, float(i)));
    EXPECT_EQ(ring.size(), 3u);
    EXPECT_EQ(ring.capacity(), 3u);
    EXPECT_EQ(ring.at(0).msecs, 3);
    EXPECT_EQ(ring.at(1).msecs, 4);
    EXPECT_EQ(ring.newest().msecs, 5);
    ring.Add(Sample(6, 6));
    EXPECT_EQ(ring.at(0).msecs, 4);
    EXPECT_EQ(ring.newest().msecs, 6);
}

TEST(TrendFolder, AveragesRunsAndStaysWithinItsPoints) {
    TrendFolder folder(4);
    for (int i = 0; i < 16; ++i) folder.Add(Sample(i * 10, float(i)));
    auto points = folder.Points();
    ASSERT_EQ(points.size(), 4u);
    EXPECT_FLOAT_EQ(points[0].value[kTrendVbatt], 1.5f);
    EXPECT_FLOAT_EQ(points[3].value[kTrendLoad], 13.5f);
    EXPECT_EQ(points[0].msecs, 15);  // middle of 0 and 30
    // One more: neighbours merge, runs double.
    folder.Add(Sample(160, 16));
    points = folder.Points();
    ASSERT_EQ(points.size(), 3u);
    EXPECT_FLOAT_EQ(points[0].value[kTrendFreq], 3.5f);
    EXPECT_FLOAT_EQ(points[1].value[kTrendFreq], 11.5f);
    EXPECT_FLOAT_EQ(points[2].value[kTrendFreq], 16.0f);
    // Beside each average: the lowest and highest sample it took in, through every merge.
    std::vector<TrendSpread> spread;
    points = folder.Points(&spread);
    ASSERT_EQ(spread.size(), points.size());
    EXPECT_EQ(spread[0].rows, 8);
    EXPECT_FLOAT_EQ(spread[0].lo[kTrendVbatt], 0.f);
    EXPECT_FLOAT_EQ(spread[0].hi[kTrendVbatt], 7.f);
    EXPECT_FLOAT_EQ(spread[2].lo[kTrendVbatt], 16.f);
    for (int i = 17; i < 10000; ++i) folder.Add(i == 5000 ? Sample(i * 10, -50.f) : Sample(i * 10, float(i)));
    points = folder.Points(&spread);
    EXPECT_LE(points.size(), 4u);
    float lowest = 0;
    for (const TrendSpread& r : spread) lowest = std::min(lowest, r.lo[kTrendLoad]);
    EXPECT_FLOAT_EQ(lowest, -50.f);
    EXPECT_EQ(folder.samples(), 10000);
    // A value that is not a number does not spoil its point's average.
    TrendFolder gaps(8);
    TrendSample nan = Sample(0, std::nanf(""));
    gaps.Add(nan);
    EXPECT_TRUE(std::isnan(gaps.Points()[0].value[kTrendVbatt]));
}

// Rows as the program writes them, through its own data log writer.
struct WrittenLog {
    QTemporaryDir dir;
    QByteArray path = (dir.path() + "/log.txt").toLocal8Bit();
    void Row(std::time_t when, double vbatt, uint32_t load, double tbatt, double freq) {
        UpsStatusBlock s{};
        s.batteryVoltage = vbatt;
        s.powerPercent = load;
        s.batteryTemperature = tbatt;
        s.inputFrequency = freq;
        s.outputPower = 1234;
        ASSERT_TRUE(AppendLogRow(path.constData(), FormatLogRow(s, when)).isEmpty());
    }
    void Raw(const QByteArray& bytes) {
        QFile f(QString::fromLocal8Bit(path));
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write(bytes);
    }
    LogLoadResult Load(size_t capacity = 1000) {
        return LoadDataLogFile(QString::fromLocal8Bit(path), capacity, nullptr);
    }
};

TEST(LogReader, ReadsWhatTheProgramWrote) {
    WrittenLog log;
    const std::time_t first = LocalTime(2026, 12, 7, 9, 5);
    const std::time_t second = LocalTime(2026, 12, 8, 23, 59);
    log.Row(first, 54.25, 42, -4.06, 50.04);
    log.Row(second, 48.0, 100, 35.0, 0);
    const LogLoadResult r = log.Load();
    EXPECT_TRUE(r.error.isEmpty());
    EXPECT_EQ(r.rows, 2);
    EXPECT_EQ(r.skipped, 0);  // the header is no damage
    ASSERT_EQ(r.points.size(), 2u);
    EXPECT_EQ(r.points[0].msecs, int64_t(first) * 1000);
    EXPECT_EQ(r.points[1].msecs, int64_t(second) * 1000);
    EXPECT_FLOAT_EQ(r.points[0].value[kTrendVbatt], 54.2f);
    EXPECT_FLOAT_EQ(r.points[0].value[kTrendLoad], 42.f);
    EXPECT_FLOAT_EQ(r.points[0].value[kTrendTbatt], -4.1f);
    EXPECT_FLOAT_EQ(r.points[0].value[kTrendFreq], 50.0f);
    EXPECT_TRUE(std::isnan(r.points[0].value[kTrendTheat]));  // the log has no heat sink
}

TEST(LogReader, SkipsAndCountsDamagedRows) {
    WrittenLog log;
    const std::time_t t = LocalTime(2026, 3, 1, 12, 0);
    log.Row(t, 50, 10, 20, 50);
    log.Raw("garbage\r\n"
            "01/03/2026,12:01,50.0,50.0,0,0,10,0,20.0\r\n"          // nine columns
            "01/03/2026,12:01,50.0,50.0,0,0,10,0,20.0,0.0,7\r\n"    // eleven
            "31/02/2026,12:01,50.0,50.0,0,0,10,0,20.0,0.0\r\n"      // no such day
            "01/03/2026,24:00,50.0,50.0,0,0,10,0,20.0,0.0\r\n"      // no such hour
            ",,50.0,50.0,0,0,10,0,20.0,0.0\r\n"                     // time unknown when written
            "01/03/2026,12:01,5O.0,50.0,0,0,10,0,20.0,0.0\r\n"      // a letter O
            "01/03/2026,12:01,50.0,50.0,0,0,10,0,20.0,0.0 \r\n"     // trailing space
            "\r\n" +
            QByteArray(100000, 'x') + "\r\n" +                       // overlong, never held
            QByteArray("\0\0\xff\xfe,\n", 6) +
            "Date,Time,Frgen,Vbatt,Iout,Pout,PowerPerc,CCBStatus,Tbatt,Ibatt\r\n");  // joined logs
    log.Row(t + 120, 52, 30, 22, 50);
    log.Raw("01/03/2026,12:03,nan,inf,0,0,10,0,20.0,0.0\n");  // what the writer makes of NaN
    log.Raw("01/03/2026,12:04,50.0,51.0,0,0,");              // cut off while written
    const LogLoadResult r = log.Load();
    EXPECT_EQ(r.rows, 3);
    EXPECT_EQ(r.skipped, 11);
    ASSERT_EQ(r.points.size(), 3u);
    EXPECT_FLOAT_EQ(r.points[1].value[kTrendVbatt], 52.f);
    EXPECT_TRUE(std::isinf(r.points[2].value[kTrendVbatt]) || std::isnan(r.points[2].value[kTrendVbatt]));
    EXPECT_TRUE(std::isnan(r.points[2].value[kTrendFreq]));

    // The same bytes cut into chunks anywhere read the same.
    QFile f(QString::fromLocal8Bit(log.path));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray all = f.readAll();
    for (qsizetype cut = 1; cut < all.size(); cut += 97) {
        LogParser parser(1000);
        parser.Feed(all.constData(), size_t(cut));
        parser.Feed(all.constData() + cut, size_t(all.size() - cut));
        parser.Finish();
        EXPECT_EQ(parser.rows(), 3) << cut;
        EXPECT_EQ(parser.skipped(), 11) << cut;
    }
}

TEST(LogReader, ReportsAMissingFileAndStopsWhenCancelled) {
    WrittenLog log;
    EXPECT_FALSE(log.Load().error.isEmpty());
    log.Row(LocalTime(2026, 1, 1, 0, 0), 50, 10, 20, 50);
    LogLoadProgress progress;
    progress.cancel = true;
    const LogLoadResult r = LoadDataLogFile(QString::fromLocal8Bit(log.path), 100, &progress);
    EXPECT_TRUE(r.cancelled);
    EXPECT_TRUE(r.points.empty());
}

bool WaitFor(const std::function<bool()>& done) {
    QDeadlineTimer deadline(30000);
    while (!done() && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

TEST(TrendWindowPanel, NothingBeforeTheFirstAnswerAndAGapWhileTheLinkIsLost) {
    CTrendWindow trend;
    int64_t now = 1'700'000'000'000;
    trend.SetClock([&now] { return now; });
    static _ZozeUps u;  // large: not on the stack
    std::memset(&u, 0, sizeof u);
    auto refresh = [&](const char* state, int vbattTenths, int count) {
        std::strcpy(u.stateText, state);
        u.auxWordB[2] = vbattTenths;
        u.status.powerPercent = 40;
        for (int i = 0; i < count; ++i) {
            trend.OnUpsRefresh(u);
            now += 1000;
        }
    };
    refresh("Timeout", 0, 5);  // the link has not heard the unit yet: zeros, not readings
    EXPECT_TRUE(trend.ring().empty());
    refresh("On_Line", 0, 3);  // answered, but the battery voltage is not read yet
    refresh("On_Line", 480, 10);
    const int64_t lostAt = now;
    refresh("Timeout", 480, 20);  // the record keeps the last readings meanwhile
    const int64_t backAt = now;
    refresh("On_Line", 490, 10);
    EXPECT_EQ(trend.ring().size(), 3u + 10u + 1u + 10u);  // one marker for the whole outage

    trend.show();
    trend.Redraw();
    for (int s : {int(kTrendVbatt), int(kTrendLoad)}) {
        const std::vector<QLineSeries*> pieces = trend.pieces(s);
        ASSERT_EQ(pieces.size(), 2u) << "series " << s;
        EXPECT_LT(pieces[0]->at(pieces[0]->count() - 1).x(), double(lostAt));
        EXPECT_GE(pieces[1]->at(0).x(), double(backAt));
    }
    const std::vector<QLineSeries*> vbatt = trend.pieces(kTrendVbatt);
    EXPECT_EQ(vbatt[0]->count() + vbatt[1]->count(), 20);  // no 0 V before the first reading
    EXPECT_EQ(vbatt[0]->at(0).y(), 48.0);
    EXPECT_EQ(trend.pieces(kTrendLoad)[0]->count(), 13);
}

QStringList Labels(const std::vector<TimeTick>& ticks) {
    QStringList out;
    for (const TimeTick& t : ticks) out << t.label;
    return out;
}

// Ticks on whole minutes, hours, days and months of local time, never more than asked for.
TEST(TrendAxis, TicksFallOnRoundLocalTimes) {
    const int64_t at = (int64_t(LocalTime(2026, 12, 7, 9, 3)) + 27) * 1000;  // 09:03:27
    const int64_t minute = 60 * 1000, hour = 60 * minute, day = 24 * hour;
    EXPECT_EQ(Labels(RoundTimeTicks(at, at + 10 * minute)),
              (QStringList{"09:04", "09:06", "09:08", "09:10", "09:12"}));
    EXPECT_EQ(Labels(RoundTimeTicks(at - hour, at)),
              (QStringList{"08:10", "08:20", "08:30", "08:40", "08:50", "09:00"}));
    EXPECT_EQ(Labels(RoundTimeTicks(at, at + day)),
              (QStringList{"07/12 12:00", "07/12 18:00", "08/12 00:00", "08/12 06:00"}));
    // A month in weeks, from Monday to Monday; a year in quarters, with its year shown.
    EXPECT_EQ(Labels(RoundTimeTicks(at, at + 30 * day)),
              (QStringList{"14/12/2026 00:00", "21/12/2026 00:00", "28/12/2026 00:00", "04/01/2027 00:00"}));
    EXPECT_EQ(Labels(RoundTimeTicks(at, at + 365 * day)),
              (QStringList{"01/01/2027", "01/04/2027", "01/07/2027", "01/10/2027"}));

    for (const int64_t width : {2 * minute, 7 * minute, 45 * minute, 5 * hour, 3 * day, 10 * day, 90 * day,
                                4 * 365 * day}) {
        const std::vector<TimeTick> ticks = RoundTimeTicks(at, at + width);
        EXPECT_FALSE(ticks.empty()) << width;
        EXPECT_LE(ticks.size(), 8u) << width;
        for (size_t i = 0; i < ticks.size(); ++i) {
            EXPECT_GE(ticks[i].msecs, at);
            EXPECT_LE(ticks[i].msecs, at + width);
            EXPECT_EQ(QDateTime::fromMSecsSinceEpoch(ticks[i].msecs).time().second(), 0);
            if (i) EXPECT_GT(ticks[i].msecs, ticks[i - 1].msecs);
        }
    }
    EXPECT_TRUE(RoundTimeTicks(at, at).empty());
}

// While no data comes the live view follows the clock, not the last sample: the outage opens as
// a shaded gap up to the present, and the status line stops counting live samples.
TEST(TrendWindowPanel, DuringAnOutageTheAxisMovesOnAndTheGapIsShaded) {
    CTrendWindow trend;
    int64_t now = int64_t(LocalTime(2026, 12, 7, 9, 0)) * 1000;
    trend.SetClock([&now] { return now; });
    static _ZozeUps u;
    std::memset(&u, 0, sizeof u);
    u.auxWordB[2] = 480;
    u.status.powerPercent = 40;
    auto refresh = [&](const char* state, int count) {
        std::strcpy(u.stateText, state);
        for (int i = 0; i < count; ++i) {
            u.status.powerPercent = 40 + (i / 60) % 7;
            u.status.batteryTemperature = 25 + (i / 300) % 3;
            trend.OnUpsRefresh(u);
            now += 1000;
        }
    };
    trend.show();
    refresh("On_Line", 1800);
    trend.Redraw();
    EXPECT_EQ(trend.statusText(), "Live: 1800 samples");
    EXPECT_EQ(trend.outageBand()->upperSeries()->count(), 0);

    const int64_t lostAt = now;
    refresh("Timeout", 1);
    now += 10 * 60 * 1000;  // ten minutes without a refresh at all
    trend.Redraw();
    EXPECT_EQ(trend.shownTo(), now);
    EXPECT_EQ(trend.shownTo() - trend.shownFrom(), 3600 * 1000);
    EXPECT_EQ(trend.statusText(), "No data since 09:30:00: the unit does not answer (1801 samples kept)");
    if (qEnvironmentVariableIsSet("VESPERO_TREND_OUTAGE_PICTURE"))
        trend.Picture(), trend.grab().save(qEnvironmentVariable("VESPERO_TREND_OUTAGE_PICTURE"));
    const QList<QPointF> top = trend.outageBand()->upperSeries()->points();
    ASSERT_EQ(top.size(), 4);
    EXPECT_EQ(top[1], QPointF(double(lostAt), 1));
    EXPECT_EQ(top[2], QPointF(double(now), 1));
    // The lines stop where the data stopped.
    const std::vector<QLineSeries*> load = trend.pieces(kTrendLoad);
    ASSERT_EQ(load.size(), 1u);
    EXPECT_LT(load[0]->at(load[0]->count() - 1).x(), double(lostAt));

    // Back: the gap closes at the first new sample and the count is live again.
    const int64_t backAt = now;
    refresh("On_Line", 5);
    trend.Redraw();
    EXPECT_EQ(trend.shownTo(), now - 1000);
    EXPECT_EQ(trend.statusText(), "Live: 1806 samples");
    const QList<QPointF> closed = trend.outageBand()->upperSeries()->points();
    ASSERT_EQ(closed.size(), 4);
    EXPECT_EQ(closed[1].x(), double(lostAt));
    EXPECT_EQ(closed[2].x(), double(backAt));
    EXPECT_EQ(trend.pieces(kTrendLoad).size(), 2u);
}

TEST(TrendWindowPanel, FedByRefreshesZoomsAndExports) {
    PanelFixture f;
    const DesktopExtras extras = InstallDesktopExtras(&f.frame, f.view);
    CTrendWindow* trend = extras.trend;
    ASSERT_TRUE(trend);
    int64_t now = int64_t(LocalTime(2026, 12, 7, 9, 0)) * 1000;
    trend->SetClock([&now] { return now; });
    // The File menu opens it, above "Exit".
    QAction* command = f.frame.findChild<QAction*>("trendCommand");
    ASSERT_TRUE(command);
    EXPECT_FALSE(trend->isVisible());
    EXPECT_EQ(trend->chartView(), nullptr);  // no chart is built at the program's start
    command->trigger();
    EXPECT_TRUE(trend->isVisible());

    f.view->SetClock([] { return LocalTime(2026, 12, 7, 9, 0); });
    for (int i = 0; i < 600; ++i) {  // ten minutes, one refresh a second
        EditDevice0([&](_ZozeUps& u) {
            std::strcpy(u.stateText, "On_Line");
            u.status.powerUnits = 1;
            u.status.batteryVoltage = 47.5;  // what the data log takes
            u.auxWordB[2] = uint16_t(480 + i % 10);
            u.status.powerPercent = 40;
            u.status.batteryTemperature = 25;
            u.status.inverterTemperature = 55;
            u.status.outputFrequency = 50;
            u.status.currentUnits = 4;  // battery blocks
        });
        f.view->OnUpsRefresh();
        now += 1000;
    }
    EXPECT_EQ(trend->ring().size(), 600u);
    trend->Redraw();
    QLineSeries* vbatt = trend->series(kTrendVbatt);
    ASSERT_GT(vbatt->count(), 0);
    EXPECT_LE(vbatt->count(), 1500);
    EXPECT_NEAR(vbatt->at(0).y(), 48.0, 1.0);
    EXPECT_EQ(trend->series(kTrendTheat)->at(0).y(), 55.0);
    // The charge estimate from the battery voltage: 47.5 V on 4 blocks is far from full.
    ASSERT_GT(trend->series(kTrendCharge)->count(), 0);
    EXPECT_GT(trend->series(kTrendCharge)->at(0).y(), 0.0);
    EXPECT_LT(trend->series(kTrendCharge)->at(0).y(), 50.0);
    EXPECT_TRUE(trend->bands(kTrendVbatt).empty());  // one point a sample: nothing folded
    EXPECT_EQ(trend->shownTo() - trend->shownFrom(), 3600 * 1000);  // the last hour

    // Exports through the file-dialog seam.
    const QString png = f.dir.path() + "/trend.png";
    const QString csv = f.dir.path() + "/trend.csv";
    QString answer = png;
    SetFileDialogAnswerer([&answer](bool save) { return save ? answer : QString(); });
    trend->findChild<QPushButton*>("exportPng")->click();
    EXPECT_FALSE(QImage(png).isNull());
    answer = csv;
    trend->findChild<QPushButton*>("exportCsv")->click();
    QFile file(csv);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    file.close();
    EXPECT_EQ(lines[0], "Time,Vbatt,PowerPerc,Tbatt,Theat,Freq,Charge\r");  // raw samples: no averages
    EXPECT_EQ(lines.size(), 1 + 600 + 1);  // header, every sample (all in range), empty tail
    EXPECT_TRUE(lines[1].startsWith("07/12/2026 09:00:00,48.0,40.0,25.0,55.0,50.0")) << lines[1].constData();

    // The wheel narrows the range around the pointer and leaves it where it was put.
    QWidget* viewport = trend->chartView()->viewport();
    const QRectF plot = trend->chartView()->chart()->plotArea();
    const QPointF middle(plot.left() + plot.width() * 0.9, plot.center().y());
    QWheelEvent wheel(middle, viewport->mapToGlobal(middle), QPoint(), QPoint(0, 240), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(viewport, &wheel);
    EXPECT_NEAR(double(trend->shownTo() - trend->shownFrom()), 0.64 * 3600 * 1000, 1000.0);
    const int64_t from = trend->shownFrom();
    f.view->OnUpsRefresh();
    trend->Redraw();
    EXPECT_EQ(trend->shownFrom(), from);

    // Only the shown range is exported.
    answer = csv;
    trend->findChild<QPushButton*>("exportCsv")->click();
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const qsizetype shown = file.readAll().count('\n') - 1;
    file.close();
    EXPECT_GT(shown, 0);
    EXPECT_LT(shown, 600);

    // A log opens on a worker thread and replaces the live view until "Live".
    WrittenLog log;
    for (int day = 1; day <= 3; ++day)
        for (int hour = 0; hour < 24; ++hour) log.Row(LocalTime(2026, 11, day, hour, 30), 50 + day, 20, 25, 50);
    log.Raw("not a row\r\n");
    answer = QString::fromLocal8Bit(log.path);
    SetFileDialogAnswerer([&answer](bool save) { return save ? QString() : answer; });
    trend->findChild<QPushButton*>("openLog")->click();
    ASSERT_TRUE(WaitFor([&] { return !trend->loading(); }));
    EXPECT_TRUE(trend->showingLog());
    EXPECT_EQ(trend->statusText(), "log.txt: 72 rows, 1 skipped");
    // The range box shows its longest choice whole.
    auto* spans = trend->findChild<QComboBox*>("spans");
    ASSERT_TRUE(spans);
    EXPECT_EQ(spans->itemText(0), "Whole log");
    QCoreApplication::processEvents();
    EXPECT_GT(spans->width(), spans->fontMetrics().horizontalAdvance("Whole log") + 16);
    EXPECT_EQ(trend->shownFrom(), int64_t(LocalTime(2026, 11, 1, 0, 30)) * 1000);
    EXPECT_EQ(trend->series(kTrendVbatt)->count(), 72);
    EXPECT_EQ(trend->series(kTrendTheat)->count(), 0);
    const QLabel* legend = trend->findChild<QLabel*>("trendLegend");
    ASSERT_NE(legend, nullptr);
    EXPECT_FALSE(legend->text().contains("THeat")) << legend->text().toStdString();
    EXPECT_TRUE(legend->text().contains("V Batt [V]")) << legend->text().toStdString();

    // The log the panel itself wrote meanwhile (its 11th refresh) reads back as it was written.
    answer = f.dir.path() + "/log.txt";
    trend->findChild<QPushButton*>("openLog")->click();
    ASSERT_TRUE(WaitFor([&] { return !trend->loading(); }));
    EXPECT_EQ(trend->statusText(), "log.txt: 1 rows, 0 skipped");
    ASSERT_EQ(trend->logPoints().size(), 1u);
    EXPECT_EQ(trend->logPoints()[0].msecs, int64_t(LocalTime(2026, 12, 7, 9, 0)) * 1000);
    EXPECT_FLOAT_EQ(trend->logPoints()[0].value[kTrendVbatt], 47.5f);
    EXPECT_FLOAT_EQ(trend->logPoints()[0].value[kTrendFreq], 0.f);
    SetFileDialogAnswerer(nullptr);

    trend->ShowLive();
    EXPECT_FALSE(trend->showingLog());
    EXPECT_TRUE(legend->text().contains("THeat")) << legend->text().toStdString();
}

// Three months of a row a minute across New Year, one 5-minute outage: more rows than the
// window keeps points, so everything shown is folded twice (by the reader, then the chart).
TEST(TrendWindowLog, AFoldedLogKeepsItsOutageAndSaysWhatItShows) {
    WrittenLog log;
    QByteArray rows("Date,Time,Frgen,Vbatt,Iout,Pout,PowerPerc,CCBStatus,Tbatt,Ibatt\r\n");
    const std::time_t start = LocalTime(2025, 11, 15, 0, 0);
    const int minutes = 90 * 24 * 60;
    const int outage = minutes / 2;
    for (int i = 0; i < minutes; ++i) {
        UpsStatusBlock s{};
        const bool out = i >= outage && i < outage + 5;
        s.batteryVoltage = out ? 46.6 : 54.4;
        s.inputFrequency = out ? 0 : 50;
        s.powerPercent = 30;
        s.outputPower = 1500;
        s.ccbStatus = out ? 0 : 3;
        s.batteryTemperature = 25;
        rows.append(FormatLogRow(s, start + std::time_t(i) * 60));
    }
    log.Raw(rows);

    CTrendWindow trend;
    trend.show();
    trend.OpenLog(QString::fromLocal8Bit(log.path));
    ASSERT_TRUE(WaitFor([&] { return !trend.loading(); }));
    ASSERT_TRUE(trend.showingLog());
    ASSERT_LT(trend.logPoints().size(), size_t(minutes));

    // Zoomed out: the average line smooths the outage away, its band does not.
    double lowestLine = 1e9, lowestBand = 1e9;
    for (QLineSeries* piece : trend.pieces(kTrendVbatt))
        for (const QPointF& p : piece->points()) lowestLine = std::min(lowestLine, p.y());
    const std::vector<QAreaSeries*> bands = trend.bands(kTrendVbatt);
    ASSERT_FALSE(bands.empty());
    for (QAreaSeries* band : bands)
        for (const QPointF& p : band->lowerSeries()->points()) lowestBand = std::min(lowestBand, p.y());
    EXPECT_GT(lowestLine, 50.0);
    EXPECT_NEAR(lowestBand, 46.6, 0.05);
    // Bands over lines, never under one: a translucent band hides nothing, an opaque line would.
    const QList<QAbstractSeries*> drawn = trend.chartView()->chart()->series();
    qsizetype lastLine = -1, firstBand = drawn.size();
    for (int q = 0; q < kTrendSeriesCount; ++q) {
        for (QLineSeries* piece : trend.pieces(q)) lastLine = std::max(lastLine, drawn.indexOf(piece));
        for (QAreaSeries* band : trend.bands(q)) firstBand = std::min(firstBand, drawn.indexOf(band));
    }
    EXPECT_LT(lastLine, firstBand);
    // The charge, estimated row by row, drops with the outage (the load sag compensated).
    double lowestCharge = 1e9, highestCharge = 0;
    for (QAreaSeries* band : trend.bands(kTrendCharge)) {
        for (const QPointF& p : band->lowerSeries()->points()) lowestCharge = std::min(lowestCharge, p.y());
        for (const QPointF& p : band->upperSeries()->points()) highestCharge = std::max(highestCharge, p.y());
    }
    EXPECT_EQ(highestCharge, 100.0);  // floating
    EXPECT_LT(lowestCharge, 50.0);

    // One axis per unit, sized to its own quantities; the year shows across New Year.
    EXPECT_NE(trend.axisOf(kTrendVbatt), trend.axisOf(kTrendLoad));
    EXPECT_NE(trend.axisOf(kTrendTbatt), trend.axisOf(kTrendFreq));
    EXPECT_EQ(trend.axisOf(kTrendTbatt), trend.axisOf(kTrendTheat));
    EXPECT_EQ(trend.axisOf(kTrendLoad), trend.axisOf(kTrendCharge));
    EXPECT_EQ(trend.axisOf(kTrendVbatt)->titleText(), "V");
    EXPECT_LT(trend.axisOf(kTrendVbatt)->max(), 60.0);
    EXPECT_GT(trend.axisOf(kTrendVbatt)->min(), 40.0);
    auto* time = qobject_cast<QCategoryAxis*>(trend.chartView()->chart()->axes(Qt::Horizontal).value(0));
    ASSERT_TRUE(time);
    const QRegularExpression year(QStringLiteral("/\\d{4}"));
    EXPECT_TRUE(time->categoriesLabels().join(' ').contains(year)) << time->categoriesLabels().join(' ').toStdString();

    // The range box offers what fits the log, and a choice narrows the view.
    auto* spans = trend.findChild<QComboBox*>("spans");
    ASSERT_TRUE(spans);
    EXPECT_EQ(spans->itemText(0), "Whole log");
    EXPECT_NE(spans->findText("30 days"), -1);
    EXPECT_EQ(spans->findText("1 year"), -1);
    EXPECT_EQ(spans->findText("10 min"), -1);
    spans->setCurrentIndex(spans->findText("24 h"));
    EXPECT_EQ(trend.shownTo() - trend.shownFrom(), 24 * 3600 * 1000LL);
    EXPECT_FALSE(time->categoriesLabels().join(' ').contains(year));  // the log's last day, in February
    spans->setCurrentIndex(0);

    // The picture says what it shows above the chart; the CSV says its rows are averages.
    const QImage picture = trend.Picture();
    const QImage chart = trend.chartView()->grab().toImage();
    ASSERT_GT(picture.height(), chart.height());
    const int heading = picture.height() - chart.height();
    int ink = 0;
    for (int y = 0; y < heading; ++y)
        for (int x = 0; x < picture.width(); ++x) ink += qGray(picture.pixel(x, y)) < 128;
    EXPECT_GT(ink, 100);
    if (qEnvironmentVariableIsSet("VESPERO_TREND_PICTURE")) picture.save(qEnvironmentVariable("VESPERO_TREND_PICTURE"));
    const QString csv = log.dir.path() + "/trend.csv";
    ASSERT_TRUE(trend.ExportCsv(csv));
    QFile file(csv);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    ASSERT_GT(lines.size(), 3);
    EXPECT_TRUE(lines[0].startsWith("# Each row is the average")) << lines[0].constData();
    EXPECT_TRUE(lines[1].startsWith("Time,Rows,Vbatt,Vbatt min,Vbatt max,")) << lines[1].constData();
    EXPECT_TRUE(lines[2].split(',').value(1).toInt() > 1);
}

}  // namespace
