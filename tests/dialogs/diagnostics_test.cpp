#include <QDialogButtonBox>
#include <QLabel>
#include <QRegularExpression>

#include "support.h"
#include "widgets/dialog_units.h"
#include "widgets/failure_dialog.h"
#include "widgets/history_dialog.h"

namespace {

QString Text(QWidget* d, const char* name) {
    auto* label = d->findChild<QLabel*>(QString::fromLatin1(name));
    EXPECT_NE(label, nullptr) << name;
    return label ? label->text() : QString();
}

TEST(Diagnostics, FormatBits) {
    EXPECT_EQ(FormatBits(5), "0000000000000101");
    EXPECT_EQ(FormatBits(0x8001), "1000000000000001");
    EXPECT_EQ(FormatBits(0xffff), "1111111111111111");
    EXPECT_EQ(FormatBits(0), "0000000000000000");
}

TEST(Diagnostics, FormatDuration) {
    EXPECT_EQ(FormatDuration(0), "0000 - 00:00:00");
    EXPECT_EQ(FormatDuration(86399), "0000 - 23:59:59");
    EXPECT_EQ(FormatDuration(86400), "0001 - 00:00:00");
    EXPECT_EQ(FormatDuration(90061), "0001 - 01:01:01");
    EXPECT_EQ(FormatDuration(4294967295u), "49710 - 06:28:15");
}

_ZozeUps FailedUnit() {
    _ZozeUps u{};
    u.failureCounters[0] = 3;
    for (int i = 1; i < 17; ++i) u.failureCounters[i] = uint16_t(i * 100);
    u.failureCounters[15] = 65535;
    UpsStatusBlock& s = u.systemFailure;
    s.inputVoltage = 229.5;
    s.inputFrequency = 50;
    s.outputCurrent = 12.5;
    s.outputPower = 1000.25;
    s.internalVoltage1 = 400;
    s.internalVoltage2 = 999;
    s.caseTemperature = 31.456;
    s.flags12 = 0x8001;
    s.flags34 = 5;
    s.stateCode = 3;
    return u;
}

TEST(Diagnostics, FailureDialogShowsTheSnapshot) {
    CFailure d(FailedUnit(), 2);
    EXPECT_EQ(d.windowTitle(), "System Failures");
    EXPECT_EQ(Text(&d, "value_LastFailId"), "3");
    EXPECT_EQ(Text(&d, "value_InputLine"), "229.50");
    EXPECT_EQ(Text(&d, "value_OutputCurrent"), "25.00");
    EXPECT_EQ(Text(&d, "value_OutputPower"), "2000.50");
    EXPECT_EQ(Text(&d, "value_InternalVoltageP"), "400.00");
    EXPECT_EQ(Text(&d, "value_BatteryTemp"), "31.46");
    EXPECT_EQ(Text(&d, "value_Flags12"), "1000000000000001");
    EXPECT_EQ(Text(&d, "value_Flags34"), "0000000000000101");
    EXPECT_EQ(Text(&d, "value_Status"), "3.00");
    EXPECT_EQ(Text(&d, "value_Counter1"), "100");
    EXPECT_EQ(Text(&d, "value_Counter13"), "1300");
    EXPECT_EQ(Text(&d, "value_Counter15"), "65535");
    EXPECT_EQ(Text(&d, "label_Counter15"), "Rele Failure (32768)");
    EXPECT_EQ(d.findChild<QLabel*>("value_Counter14"), nullptr);
    EXPECT_EQ(d.findChild<QLabel*>("value_Counter16"), nullptr);
    auto* box = d.findChild<QDialogButtonBox*>("buttonBox");
    ASSERT_NE(box->button(QDialogButtonBox::Cancel), nullptr);
    EXPECT_EQ(box->buttons().size(), 1);
}

TEST(Diagnostics, FailureDialogRatingSigns) {
    CFailure before(FailedUnit(), -1);  // the panel's cached rating before its first refresh
    EXPECT_EQ(Text(&before, "value_OutputCurrent"), "-12.50");
    CFailure zero(FailedUnit(), 0);
    EXPECT_EQ(Text(&zero, "value_OutputPower"), "0.00");
}

TEST(Diagnostics, FailureDialogWithoutAFailure) {
    _ZozeUps u = FailedUnit();
    u.failureCounters[0] = 0;
    CFailure d(u, 1);
    EXPECT_EQ(Text(&d, "value_LastFailId"), "0");
    for (const char* name : {"value_InputLine", "value_OutputPower", "value_Flags12", "value_Flags34",
                             "value_Status", "value_InverterTemp"})
        EXPECT_EQ(Text(&d, name), "-") << name;
    EXPECT_EQ(Text(&d, "value_Counter2"), "200");
}

TEST(Diagnostics, HistoryDialog) {
    _ZozeUps u{};
    u.historyMaxTemperature = 63;
    u.historyDurationB[3] = 90061;
    u.historyDurationB[2] = 5;
    CHistory d(u);
    EXPECT_EQ(d.windowTitle(), "History");
    EXPECT_EQ(Text(&d, "value_TempMax"), "63.0");
    EXPECT_EQ(Text(&d, "value_InverterFromLine"), "0001 - 01:01:01");
    EXPECT_EQ(Text(&d, "unit_InverterFromLine"), "(dd - hh:mm:ss)");
    u.historyMaxTemperature = -1;
    CHistory cold(u);
    EXPECT_EQ(Text(&cold, "value_TempMax"), "-1.0");
    auto* box = d.findChild<QDialogButtonBox*>("buttonBox");
    d.show();
    box->button(QDialogButtonBox::Close)->click();
    EXPECT_FALSE(d.isVisible());
}

// Every value text shows its widest content in full.
void ExpectValuesFit(QWidget* d) {
    for (QLabel* label : d->findChildren<QLabel*>(QRegularExpression("^value_")))
        EXPECT_GE(label->contentsRect().width(), label->fontMetrics().horizontalAdvance(label->text()))
            << label->objectName().toStdString() << " \"" << label->text().toStdString() << "\"";
}

// Both dialogs keep the size their templates give in dialog units, whatever they show.
TEST(Diagnostics, DialogsHaveTheirTemplateSizeWhateverTheyShow) {
    _ZozeUps widest = FailedUnit();
    for (uint16_t& c : widest.failureCounters) c = 65535;
    widest.systemFailure.flags12 = 0xFFFF;
    widest.systemFailure.outputPower = -99999.99;
    _ZozeUps none{};
    CFailure full(widest, 3), empty(none, 3);
    const DialogBaseUnits base = BaseUnitsOf(full.font());
    const QSize failureSize = DialogUnitsToPixels(QRect(0, 0, 377, 231), base).size();
    EXPECT_EQ(full.size(), failureSize);
    EXPECT_EQ(empty.size(), failureSize);
    full.show();
    EXPECT_EQ(full.size(), failureSize);
    ExpectValuesFit(&full);
    // The value column starts at 77 units, the counters' captions at 239.
    EXPECT_EQ(full.findChild<QLabel*>("value_InputLine")->x(), DialogUnitsToPixels(QRect(77, 0, 1, 1), base).x());
    EXPECT_EQ(full.findChild<QLabel*>("label_Counter1")->x(), DialogUnitsToPixels(QRect(239, 0, 1, 1), base).x());

    _ZozeUps longest{};
    longest.historyDurationB[3] = 4294967295u;
    longest.historyMaxTemperature = -100;
    CHistory history(longest), plain(none);
    const QSize historySize = DialogUnitsToPixels(QRect(0, 0, 240, 69), base).size();
    EXPECT_EQ(history.size(), historySize);
    EXPECT_EQ(plain.size(), historySize);
    ExpectValuesFit(&history);
}

}  // namespace
