#include <QDateTime>
#include <QLabel>
#include <gtest/gtest.h>

#include <cstring>

#include <cmath>
#include <limits>

#include "link/port/ups_event.h"
#include "support.h"

namespace {

TEST(PanelRefresh, BlankUntilTheFirstRefresh) {
    PanelFixture p;
    for (int id : {1000, 1006, 1005, 1042, 1009, 1038, 1017, 1001, 1012, 1016, 1043, 1215, 1041,
                   1146, 1163, 1162})
        EXPECT_EQ(p.Text(id), "") << "control " << id;
    for (int id : {1150, 1151, 1152}) EXPECT_EQ(p.Text(id), "0") << "control " << id;
    EXPECT_EQ(p.frame.windowTitle(), "Monitor - Vespero");
}

TEST(PanelRefresh, RatingOneSetsLimitsTextsAndCurrentColours) {
    PanelFixture p;
    EditDevice0([](_ZozeUps& u) {
        u.status.powerUnits = 1;
        u.auxWord[1] = 80;
        u.auxWord[6] = 99;
        u.auxWordB[2] = 500;  // 50.0 V; 500 x 99 / 10 = 4950 W
    });
    EXPECT_EQ(p.view->OnUpsRefresh(), 0);
    EXPECT_EQ(p.Text(1146), "Vespero 5 kW");
    EXPECT_EQ(p.Text(1043), "111");
    EXPECT_EQ(p.Text(1215), "111");
    EXPECT_EQ(p.Text(1041), "5600");
    EXPECT_EQ(p.Range(1025), std::make_pair(0, 1110));
    EXPECT_EQ(p.Range(1044), std::make_pair(0, 1110));
    EXPECT_EQ(p.Range(1027), std::make_pair(0, 5600));
    EXPECT_EQ(p.Colour(1025), kGreen);  // 80 A: exactly the lower limit
    EXPECT_EQ(p.Colour(1044), kYellow); // 99 A
    EXPECT_EQ(p.Bar(1025)->GetPos(), 800);
    EXPECT_EQ(p.Bar(1044)->GetPos(), 990);
    EXPECT_EQ(p.Text(1005), "80");
    EXPECT_EQ(p.Text(1042), "99");
    EXPECT_EQ(p.Text(1009), "4950");
    EXPECT_EQ(p.Colour(1027), kYellow);  // above 4000 W, below 5000 W
    EXPECT_EQ(p.Bar(1027)->GetPos(), 4950);
    EXPECT_EQ(p.view->integerRating(), 1);

    EditDevice0([](_ZozeUps& u) { u.auxWord[1] = 100; u.auxWord[6] = 10; });
    p.view->OnUpsRefresh();
    EXPECT_EQ(p.Colour(1025), kRed);
    EXPECT_EQ(p.Colour(1027), kGreen);  // 500 W
}

TEST(PanelRefresh, LargeRatingKeepsTheLow16BitsOfThePowerRange) {
    PanelFixture p;
    EditDevice0([](_ZozeUps& u) { u.status.powerUnits = 12; });
    p.view->OnUpsRefresh();
    EXPECT_EQ(p.Text(1146), "Vespero 60 kW");
    EXPECT_EQ(p.Text(1041), "66100");
    EXPECT_EQ(p.Range(1027), std::make_pair(0, 564));
    EXPECT_EQ(p.Text(1043), "1321");
    EXPECT_EQ(p.Range(1025), std::make_pair(0, 13210));
}

TEST(PanelRefresh, BatteryVoltageIsRedWhenLow) {
    PanelFixture p;
    EditDevice0([](_ZozeUps& u) {
        u.status.powerUnits = 1;
        u.status.currentUnits = 4;
    });
    const std::pair<int, QColor> cases[] = {
        {419, kRed}, {420, kYellow}, {439, kYellow}, {440, kGreen}};
    for (auto [tenths, colour] : cases) {
        EditDevice0([&](_ZozeUps& u) { u.auxWordB[2] = tenths; });
        p.view->OnUpsRefresh();
        EXPECT_EQ(p.Colour(1024), colour) << tenths;
    }
    EXPECT_EQ(p.Text(1152), "60");
    EXPECT_EQ(p.Range(1024), std::make_pair(0, 60));
    EXPECT_EQ(p.Bar(1024)->GetPos(), 44);
    EXPECT_EQ(p.Text(1006), "  44.0");
}

TEST(PanelRefresh, FrequencyTemperaturesVhpAndLoad) {
    PanelFixture p;
    EditDevice0([](_ZozeUps& u) {
        u.status.powerUnits = 1;
        u.status.outputFrequency = 1.9;
        u.status.batteryTemperature = -30;
        u.status.inverterTemperature = 65;
        u.status.caseTemperature = 74.9;
        u.status.internalVoltage1 = 159.99;
        u.status.powerPercent = 100;
    });
    p.view->OnUpsRefresh();
    EXPECT_EQ(p.Text(1000), "NO freq");
    EXPECT_EQ(p.Range(1028), std::make_pair(20, 4000));
    EXPECT_EQ(p.Bar(1028)->GetPos(), 20);  // 19 is below the range start
    EXPECT_EQ(p.Text(1150), "2");
    EXPECT_EQ(p.Text(1151), "400");
    EXPECT_EQ(p.Bar(1032)->GetPos(), 0);   // -30 + 25 held at the lower bound
    EXPECT_EQ(p.Text(1017), "-30");
    EXPECT_EQ(p.Colour(1032), kGreen);
    EXPECT_EQ(p.Colour(1030), kYellow);    // 65 already yellow
    EXPECT_EQ(p.Text(1012), "65.0");
    EXPECT_EQ(p.Colour(1031), kYellow);
    EXPECT_EQ(p.Text(1016), "74.9");
    EXPECT_EQ(p.Colour(1034), kYellow);    // judged by 159
    EXPECT_EQ(p.Bar(1034)->GetPos(), 159);
    EXPECT_EQ(p.Text(1001), "   160");
    EXPECT_EQ(p.Colour(1039), kRed);
    EXPECT_EQ(p.Text(1038), "100");

    EditDevice0([](_ZozeUps& u) {
        u.status.outputFrequency = 50.04;
        u.status.batteryTemperature = 35;
        u.status.internalVoltage1 = 149.9;
        u.status.powerPercent = 79;
    });
    p.view->OnUpsRefresh();
    EXPECT_EQ(p.Text(1000), "50.0");
    EXPECT_EQ(p.Bar(1028)->GetPos(), 500);
    EXPECT_EQ(p.Colour(1032), kYellow);    // 35 is the first yellow degree
    EXPECT_EQ(p.Bar(1032)->GetPos(), 60);
    EXPECT_EQ(p.Colour(1034), kGreen);
    EXPECT_EQ(p.Colour(1039), kGreen);
}

TEST(PanelRefresh, RatingZeroFirstStopsThenGoesOnWithoutLimits) {
    PanelFixture p;
    EditDevice0([](_ZozeUps& u) {
        u.auxWord[1] = 7;
        u.status.outputFrequency = 50;
    });
    EXPECT_EQ(p.view->OnUpsRefresh(), 1);
    EXPECT_EQ(p.Text(1000), "");  // nothing else of that refresh was done
    EXPECT_EQ(p.view->cachedRating(), 0.0);
    EXPECT_EQ(p.view->logCountdown(), 10);

    // Rating still 0: the refresh goes on. The rating-based bars have no limits yet, so they
    // keep their empty start; their values are shown.
    EXPECT_EQ(p.view->OnUpsRefresh(), 0);
    EXPECT_EQ(p.Text(1000), "50.0");
    EXPECT_EQ(p.Text(1005), "7");
    EXPECT_EQ(p.Text(1043), "");
    EXPECT_EQ(p.Bar(1025)->GetPos(), 0);
    EXPECT_EQ(p.Text(1146), "");

    // The first non-zero rating sets them; a later 0 keeps the old limits after stopping once.
    EditDevice0([](_ZozeUps& u) { u.status.powerUnits = 2; });
    p.view->OnUpsRefresh();
    EXPECT_EQ(p.Text(1043), "221");
    EXPECT_EQ(p.Bar(1025)->GetPos(), 70);
    EditDevice0([](_ZozeUps& u) { u.status.powerUnits = 0; u.auxWord[1] = 9; });
    EXPECT_EQ(p.view->OnUpsRefresh(), 1);
    EXPECT_EQ(p.view->OnUpsRefresh(), 0);
    EXPECT_EQ(p.Text(1043), "221");
    EXPECT_EQ(p.Bar(1025)->GetPos(), 90);
    EXPECT_EQ(p.Text(1146), "Vespero 10 kW");
}

TEST(PanelRefresh, NonNumbersAndExtremeWordsAreShownWithoutHarm) {
    PanelFixture p;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (double bad : {nan, inf, -inf, 1e300, -1e300}) {
        EditDevice0([&](_ZozeUps& u) {
            double* fields[] = {&u.status.inputVoltage, &u.status.inputFrequency,
                                &u.status.inputCurrent, &u.status.outputVoltage,
                                &u.status.outputCurrent, &u.status.outputPower,
                                &u.status.outputFrequency, &u.status.batteryVoltage,
                                &u.status.internalVoltage1, &u.status.internalVoltage2,
                                &u.status.inverterTemperature, &u.status.caseTemperature,
                                &u.status.batteryTemperature};
            for (double* f : fields) *f = bad;
            u.status.powerUnits = 0xFFFFFFFFu;
            u.status.currentUnits = 0xFFFFFFFFu;
            u.status.powerPercent = 0xFFFFFFFFu;
            u.auxWord[1] = std::numeric_limits<int32_t>::min();
            u.auxWord[6] = std::numeric_limits<int32_t>::max();
            u.auxWordB[2] = std::numeric_limits<int32_t>::min();
            std::memset(u.stateText, 'X', sizeof u.stateText);  // no terminating zero
        });
        EXPECT_EQ(p.view->OnUpsRefresh(), 0);
        for (int id : {1025, 1044, 1027, 1024, 1028, 1032, 1030, 1031, 1034, 1039}) {
            int lo = 0, hi = 0;
            p.Bar(id)->GetRange(lo, hi);
            EXPECT_GE(p.Bar(id)->GetPos(), std::min(lo, hi)) << id;
            EXPECT_LE(p.Bar(id)->GetPos(), std::max(lo, hi)) << id;
        }
        EXPECT_EQ(p.frame.windowTitle(), QString(40, 'X'));
        // Huge values saturate: full bars above, empty bars below.
        if (!std::isnan(bad)) {
            const bool high = bad > 0;
            EXPECT_EQ(p.Bar(1032)->GetPos(), high ? 85 : 0);
            EXPECT_EQ(p.Bar(1028)->GetPos(), high ? 4000 : 20);
            EXPECT_EQ(p.Bar(1034)->GetPos(), high ? 200 : 0);
        }
        ClearDevice0();
    }
    // Not a number is below no threshold: the last colour of each rule.
    EditDevice0([&](_ZozeUps& u) {
        std::strcpy(u.stateText, "On_Line");  // a live reading, not one kept through an outage
        u.status.powerUnits = 0xFFFFFFFFu;
        u.status.batteryTemperature = nan;
        u.status.internalVoltage1 = nan;
        u.status.outputFrequency = nan;
    });
    p.view->OnUpsRefresh();
    EXPECT_EQ(p.Colour(1032), kRed);
    EXPECT_EQ(p.Colour(1034), kRed);
    EXPECT_EQ(p.Text(1000), "nan");
    EXPECT_EQ(p.Text(1001).trimmed(), "nan");
}

TEST(PanelRefresh, PostedRefreshReachesThePanel) {
    PanelFixture p;
    EditDevice0([](_ZozeUps& u) { std::strcpy(u.stateText, "On_Line"); u.status.powerUnits = 1; });
    QCoreApplication::postEvent(p.view, new UpsMessageEvent(WM_UPS_REFRESH, 0, 0));
    QCoreApplication::processEvents();
    EXPECT_EQ(p.frame.windowTitle(), "On_Line");
    EXPECT_EQ(p.Text(1146), "Vespero 5 kW");
}

// Through a link outage the panel keeps the last readings, greyed, and the status bar says since
// when there has been no data; the first good status brings the colours back.
TEST(PanelRefresh, ALinkOutageGreysEveryReadingAndSaysSinceWhen) {
    PanelFixture p;
    std::time_t now = 1'800'000'000;
    p.view->SetClock([&now] { return now; });
    EditDevice0([](_ZozeUps& u) {
        std::strcpy(u.stateText, "On_Line");
        u.status.powerUnits = 1;
        u.status.currentUnits = 4;
        u.status.powerPercent = 40;
        u.auxWord[1] = 10;
        u.auxWordB[2] = 540;
    });
    p.view->OnUpsRefresh();
    EXPECT_EQ(p.Colour(1024), kGreen);
    EXPECT_EQ(p.Colour(1039), kGreen);
    QLabel* pane = p.frame.findChild<QLabel*>(QStringLiteral("messagePane"));
    ASSERT_NE(pane, nullptr);
    EXPECT_EQ(pane->text(), "Pronto");
    const QColor live = p.Label(1006)->palette().color(QPalette::WindowText);

    const QString since = QDateTime::fromSecsSinceEpoch(now).toString(QStringLiteral("HH:mm:ss"));
    now += 45;
    EditDevice0([](_ZozeUps& u) { std::strcpy(u.stateText, "Timeout"); });
    p.view->OnUpsRefresh();
    for (int id : {1025, 1044, 1027, 1024, 1028, 1032, 1030, 1031, 1034, 1039})
        EXPECT_NE(p.Colour(id), kGreen) << "gauge " << id;
    EXPECT_EQ(p.Colour(1024), p.Colour(1039));  // one grey for all
    EXPECT_EQ(p.Text(1006), "  54.0");           // the last reading stays, as it was
    EXPECT_NE(p.Label(1006)->palette().color(QPalette::WindowText), live);
    EXPECT_EQ(pane->text(), "No data since " + since);
    now += 60;
    p.view->OnUpsRefresh();
    EXPECT_EQ(pane->text(), "No data since " + since);

    EditDevice0([](_ZozeUps& u) { std::strcpy(u.stateText, "On_Line"); });
    p.view->OnUpsRefresh();
    EXPECT_EQ(p.Colour(1024), kGreen);
    EXPECT_EQ(p.Label(1006)->palette().color(QPalette::WindowText), live);
    EXPECT_EQ(pane->text(), "Pronto");
}

}  // namespace
