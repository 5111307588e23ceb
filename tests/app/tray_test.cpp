#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "app/tray_notifier.h"
#include "app/tray_rules.h"
#include "support.h"

namespace {

using C = TrayCondition;

TEST(TrayRules, StateTextsGiveTheirColour) {
    struct Case {
        const char* text;
        bool low;
        C condition;
    } cases[] = {
        {"On_Line", false, C::OnLine},
        {"On_Line ECO MODE ", false, C::OnLine},
        {"Bypass or Eco Mode", false, C::OnLine},
        {"On_Battery", false, C::OnBattery},
        {"Battery_Starting_PFC", false, C::OnBattery},
        {"On_Battery", true, C::Alarm},  // the battery gauge is red: low battery
        {"Stand_By", false, C::StandBy},
        {"Keyboard_Stop", false, C::StandBy},
        {"Starting_pre_PFC", false, C::StandBy},
        {"Low Battery Voltage", false, C::Alarm},
        {"Overload", false, C::Alarm},
        {"Emergency Power OFF", false, C::Alarm},
        {"Timeout", false, C::LinkLost},
        {"", false, C::StandBy},
        {"On_Line", true, C::OnLine},  // on line a low battery is the panel's business
    };
    for (const Case& c : cases)
        EXPECT_EQ(ClassifyState(QString::fromLatin1(c.text), c.low), c.condition) << c.text;
    EXPECT_EQ(ColourOf(C::OnLine), TrayColour::Green);
    EXPECT_EQ(ColourOf(C::OnBattery), TrayColour::Amber);
    EXPECT_EQ(ColourOf(C::StandBy), TrayColour::Amber);
    EXPECT_EQ(ColourOf(C::Alarm), TrayColour::Red);
    EXPECT_EQ(ColourOf(C::LinkLost), TrayColour::Red);
    EXPECT_EQ(NoteTitle({C::LinkLost, C::OnLine}), "UPS link back");
    EXPECT_EQ(NoteTitle({C::OnLine, C::LinkLost}), "UPS link lost");
    EXPECT_EQ(NoteTitle({C::OnLine, C::OnBattery}), "UPS on battery");
}

TEST(NotificationGate, AtMostOnePerIntervalAndTheLatestStateAfterIt) {
    NotificationGate gate(C::OnLine, 1000);
    // The first change is shown at once.
    auto note = gate.Offer(C::OnBattery, 0);
    ASSERT_TRUE(note);
    EXPECT_EQ(note->from, C::OnLine);
    EXPECT_EQ(note->to, C::OnBattery);
    EXPECT_FALSE(gate.Offer(C::OnBattery, 10));  // no change, nothing
    // A flapping unit: inside the interval only the latest is kept.
    EXPECT_FALSE(gate.Offer(C::OnLine, 100));
    EXPECT_FALSE(gate.Offer(C::Alarm, 200));
    EXPECT_EQ(gate.NextDue(), 1000);
    EXPECT_FALSE(gate.Due(999));
    note = gate.Due(1000);
    ASSERT_TRUE(note);
    EXPECT_EQ(note->from, C::OnBattery);
    EXPECT_EQ(note->to, C::Alarm);
    EXPECT_FALSE(gate.NextDue());
    EXPECT_FALSE(gate.Due(5000));

    // Back to what was last shown before the interval ends: nothing left to tell.
    EXPECT_FALSE(gate.Offer(C::OnLine, 1500));
    EXPECT_FALSE(gate.Offer(C::Alarm, 1600));
    EXPECT_FALSE(gate.NextDue());
    EXPECT_FALSE(gate.Due(2000));
    // A change after a quiet interval is shown at once again.
    note = gate.Offer(C::LinkLost, 2000);
    ASSERT_TRUE(note);
    EXPECT_EQ(note->to, C::LinkLost);
}

void SetState(_ZozeUps& u, const char* text, int vbattTenths = 480) {
    std::strcpy(u.stateText, text);
    u.status.currentUnits = 4;
    u.auxWordB[2] = uint16_t(vbattTenths);
}

struct TrayFixture : PanelFixture {
    TrayNotifier tray{&frame};
    int64_t now = 1'000'000;
    std::vector<QString> titles;
    TrayFixture() {
        tray.SetClock([this] { return now; });
        tray.SetNoteSink([this](const QString& title, const QString&) { titles.push_back(title); });
        QObject::connect(view, &CAlderaView::Refreshed, &tray, &TrayNotifier::Update);
    }
    void Refresh(const char* text, int vbattTenths = 480) {
        EditDevice0([&](_ZozeUps& u) {
            u.status.powerUnits = 1;
            SetState(u, text, vbattTenths);
        });
        view->OnUpsRefresh();
    }
};

TEST(TrayNotifierPanel, FollowsRefreshesAndNotifiesChanges) {
    TrayFixture f;
    // Before the unit first answers, "Timeout" is not a lost link; finding it on line is quiet.
    f.Refresh("Timeout");
    EXPECT_EQ(f.tray.colour(), TrayColour::Red);
    f.Refresh("On_Line");
    EXPECT_TRUE(f.titles.empty());
    EXPECT_EQ(f.tray.colour(), TrayColour::Green);
    EXPECT_EQ(f.tray.toolTip(), "Vespero Monitor\nOn_Line\nV Batt 48.0 V");

    f.now += 60'000;
    f.Refresh("On_Battery", 430);
    EXPECT_EQ(f.tray.colour(), TrayColour::Amber);
    f.now += 60'000;
    f.Refresh("On_Battery", 419);  // below 10.5 V per block
    EXPECT_EQ(f.tray.colour(), TrayColour::Red);
    f.now += 60'000;
    f.Refresh("Timeout");
    f.now += 60'000;
    f.Refresh("On_Line");
    EXPECT_EQ(f.titles, (std::vector<QString>{"UPS on battery", "UPS alarm", "UPS link lost",
                                              "UPS link back"}));

    // Flapping every second, a quiet interval after the last note: one notification at once,
    // then, when the interval ends, the state it settled in (the timer's work, called here at
    // the time it is due).
    f.titles.clear();
    f.now += TrayNotifier::kMinGapMsecs;
    for (int i = 0; i < 10; ++i) {
        f.now += 1000;
        f.Refresh(i % 2 ? "On_Line" : "On_Battery");
    }
    EXPECT_EQ(f.titles, std::vector<QString>{"UPS on battery"});
    f.tray.ShowDue();
    EXPECT_EQ(f.titles.size(), 1u);  // not yet due
    f.now += TrayNotifier::kMinGapMsecs;
    f.tray.ShowDue();
    EXPECT_EQ(f.titles, (std::vector<QString>{"UPS on battery", "UPS on line"}));
}

TEST(TrayNotifierPanel, CloseToTrayIsOffByDefaultAndKeptInTheProgramsOwnSettings) {
    PanelFixture f;
    TrayNotifier tray(&f.frame);
    EXPECT_FALSE(tray.closeToTray());
    tray.SetCloseToTray(true);
    EXPECT_TRUE(TrayNotifier(&f.frame).closeToTray());
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    EXPECT_TRUE(QSettings(QStringLiteral("Orbo"), QStringLiteral("Vespero")).value("Tray/CloseToTray").toBool());
    // The link's settings file is not touched.
    EXPECT_FALSE(QFile::exists(config + "/Tralvane/Ups.ini") &&
                 QSettings(config + "/Tralvane/Ups.ini", QSettings::IniFormat).allKeys().contains("Tray/CloseToTray"));
    tray.SetCloseToTray(false);
    EXPECT_FALSE(TrayNotifier(&f.frame).closeToTray());
}

}  // namespace
