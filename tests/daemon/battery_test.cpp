// The battery figures as vesperod serves them: the variables, LB from the estimate, the
// [battery] settings, and the learned model the board keeps on disk.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "daemon/battery_settings.h"
#include "daemon/unit_board.h"
#include "daemon/ups_variables.h"
#include "daemon_fixture.h"

using namespace daemontest;

namespace {

std::string Value(const std::vector<nut::Variable>& vars, const char* name) {
    for (const auto& v : vars)
        if (v.name == name) return v.value;
    return "(absent)";
}

std::unique_ptr<_ZozeUps> OnBatteryUnit(double volts, unsigned percent) {
    auto u = OnLineUnit();
    u->status.stateCode = 18;
    u->status.flags12 = 0;
    u->status.ccbStatus = 0;
    u->status.batteryVoltage = volts;
    u->status.powerPercent = percent;
    u->status.outputPower = 50.0 * percent;
    u->protocolAddsRead.batteryAh = 40;
    return u;
}

TEST(BatteryVariables, ChargeRuntimeAndThresholdsAndLowBatteryFromTheEstimate) {
    BatterySettings s;
    auto u = OnBatteryUnit(47.5, 40);
    nut::BatteryView view{EstimateBattery(BatteryInputsFrom(*u), s, BatteryModel{}), &s};
    std::vector<nut::Variable> vars = nut::BuildVariables(*u, false, 1, &view);
    EXPECT_EQ(Value(vars, "battery.charge.low"), "20");
    EXPECT_EQ(Value(vars, "battery.runtime.low"), "300");
    const int charge = std::stoi(Value(vars, "battery.charge"));
    const int runtime = std::stoi(Value(vars, "battery.runtime"));
    EXPECT_GT(charge, 50);
    EXPECT_LT(charge, 100);
    EXPECT_GT(runtime, 600);
    EXPECT_EQ(Value(vars, "ups.status"), "OB DISCHRG");
    EXPECT_EQ(Value(nut::BuildVariables(*u, false, 1), "battery.charge"), "(absent)");  // no view: nothing made up

    // Above the voltage threshold, but short of runtime: LB unless the settings say no.
    u = OnBatteryUnit(43.5, 95);
    view.estimate = EstimateBattery(BatteryInputsFrom(*u), s, BatteryModel{});
    ASSERT_LT(view.estimate.runtime, 300);
    EXPECT_EQ(nut::DeriveStatus(*u, false, &view).status, "OB DISCHRG LB");
    s.lowFromEstimate = false;
    EXPECT_EQ(nut::DeriveStatus(*u, false, &view).status, "OB DISCHRG");
    // The voltage threshold follows the settings, and so does battery.voltage.low.
    s.lowVolts = 11.2;
    EXPECT_EQ(nut::DeriveStatus(*u, false, &view).status, "OB DISCHRG LB");
    EXPECT_EQ(Value(nut::BuildVariables(*u, false, 1, &view), "battery.voltage.low"), "44.8");
}

TEST(BatterySettingsFile, ReadsTheGroupAndRefusesValuesOutOfRange) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("vesperod.conf"));
    auto write = [&](const char* text) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    };
    nut::BatteryConfig c;
    QString error;
    ASSERT_TRUE(nut::LoadBatteryConfig(dir.filePath(QStringLiteral("none.conf")), &c, &error));
    EXPECT_EQ(c.settings.chargeLow, 20);
    EXPECT_TRUE(c.settings.lowFromEstimate);

    write("[server]\nport = 3493\n[battery]\nempty_voltage = 11.5\nfull_voltage = 12.9\ncharge_low = 35\n"
          "runtime_low = 600\nlow_from_estimate = no\nstate_dir = learned\npeukert = 1.2\ncapacity_ah = 38\nblocks = 8\n"
          "table = blocks.csv\n");
    {
        QFile table(dir.filePath(QStringLiteral("blocks.csv")));
        ASSERT_TRUE(table.open(QIODevice::WriteOnly));
        table.write("# our blocks\ncapacity_ah,38\nminutes,amps\n10,70\n60,20\n");
    }
    ASSERT_TRUE(nut::LoadBatteryConfig(path, &c, &error)) << error.toStdString();
    EXPECT_EQ(c.settings.emptyVolts, 11.5);
    EXPECT_EQ(c.settings.fullVolts, 12.9);
    EXPECT_EQ(c.settings.chargeLow, 35);
    EXPECT_EQ(c.settings.runtimeLow, 600);
    EXPECT_EQ(c.settings.capacityAh, 38);
    EXPECT_EQ(c.settings.blocks, 8);
    ASSERT_NE(c.settings.table, nullptr);  // the retired peukert key is ignored, the table rules
    EXPECT_EQ(c.settings.table, c.table.get());
    EXPECT_EQ(c.settings.table->points.size(), 2u);
    EXPECT_FALSE(c.settings.lowFromEstimate);
    EXPECT_EQ(c.stateDir, dir.filePath(QStringLiteral("learned")));

    for (const char* bad : {"[battery]\ncharge_low = 120\n", "[battery]\nblocks = 2.5\n", "[battery]\ntable = none.csv\n",
                            "[battery]\nempty_voltage = 13\nfull_voltage = 12\n", "[battery]\nlow_from_estimate = maybe\n"}) {
        write(bad);
        error.clear();
        EXPECT_FALSE(nut::LoadBatteryConfig(path, &c, &error)) << bad;
        EXPECT_TRUE(error.startsWith(QLatin1String("battery: "))) << error.toStdString();
    }
}

TEST(BatteryBoard, LearnsFromADischargeIntoItsStateFileAndSkipsADamagedOne) {
    QTemporaryDir dir;
    nut::BatteryConfig config;
    config.stateDir = dir.filePath(QStringLiteral("state"));
    nut::UnitBoard board(TestConfig(), &RecordCommand);
    board.SetBattery(config);
    board.SetPresent(0, true, 1);
    const QString path = board.BatteryStatePath(board.UnitAt(0));
    QDir().mkpath(config.stateDir);
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("version=1\ncapacity_factor=banana\n");
    }
    // 48 V down to below 42 V at 40 % load over twenty minutes, then the mains back.
    qint64 now = 0;
    for (double v = 48.4; v > 41.5; v -= 0.1, now += 15000) board.Update(0, *OnBatteryUnit(v, 40), now);
    EXPECT_EQ(nut::DeriveStatus(*board.UnitAt(0).last, false, &board.UnitAt(0).batteryView).status, "OB DISCHRG LB");
    board.Update(0, *OnLineUnit(), now + 1000);

    BatteryModel learned;
    ASSERT_TRUE(LoadBatteryModel(path.toStdString(), &learned));
    EXPECT_EQ(learned.discharges, 1);
    ASSERT_EQ(learned.rates.size(), 1u);
    EXPECT_NE(learned.rates[0].factor, 1.0);
    const nut::Variable* charge = board.FindVariable(board.UnitAt(0), "battery.charge");
    ASSERT_NE(charge, nullptr);
    EXPECT_LT(std::stoi(charge->value), 10);  // back on line, the charger has only just begun

    // A lost link's readings move nothing.
    auto lost = OnBatteryUnit(30, 40);
    std::strcpy(lost->stateText, "Timeout");
    board.Update(0, *lost, now + 2000);
    EXPECT_EQ(board.UnitAt(0).batteryView.estimate.charge, board.UnitAt(0).battery.last.charge);
    EXPECT_FALSE(board.UnitAt(0).battery.wasOnBattery);
}

}  // namespace
