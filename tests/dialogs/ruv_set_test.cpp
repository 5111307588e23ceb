#include <QComboBox>

#include "dialogs/choice_combo.h"
#include "dialogs/ruv_set.h"
#include "support.h"

namespace {

UpsSetup CurveSetup() {
    UpsSetup s{};
    s.sizeCode = 2;
    s.numBatt = 4;
    s.inputMode = 11;
    s.ampereh = 10;
    const int periods[8] = {1000, 800, 625, 500, 400, 320, 250, 200};
    for (int k = 0; k < 8; ++k) {
        s.pow[k] = 500 * (k + 1);
        s.period[k] = periods[k];
    }
    s.extra2 = 9.75;
    return s;
}

ChoiceCombo* Combo(QWidget* d, const char* name) {
    auto* c = d->findChild<ChoiceCombo*>(QString::fromLatin1(name));
    EXPECT_NE(c, nullptr) << name;
    return c;
}

TEST(RuvSet, FormShowsTheUnitsValues) {
    CRuvSet d(CurveSetup(), true);
    EXPECT_EQ(d.windowTitle(), "Vespero Set");
    EXPECT_EQ(Edit(&d, "edit_Ampereh")->text(), "20");
    EXPECT_EQ(Edit(&d, "edit_pfreq4")->text(), "62.5");
    EXPECT_EQ(Edit(&d, "edit_pow7")->text(), "8000");
    EXPECT_EQ(Edit(&d, "edit_Vcycle")->text(), "0.00");
    EXPECT_EQ(Combo(&d, "combo_num_board")->currentText(), "10k");
    EXPECT_EQ(Combo(&d, "combo_NumBatt")->currentText(), "4");
    EXPECT_FALSE(Edit(&d, "edit_Vcycle")->isEnabled());
    EXPECT_FALSE(Edit(&d, "edit_Vstandby")->isEnabled());
    EXPECT_TRUE(Edit(&d, "edit_delay5")->isEnabled());
}

TEST(RuvSet, ChoicesComeFromTheirTablesAndOnlyPicksCount) {
    CRuvSet d(CurveSetup(), true);
    ChoiceCombo* mode = Combo(&d, "combo_rele_mod");
    mode->clear();  // whatever happened to the items, the drop-down refills them
    mode->showPopup();
    ASSERT_EQ(mode->count(), 2);
    EXPECT_EQ(mode->itemText(1), "normal");
    mode->hidePopup();
    emit mode->activated(1);
    EXPECT_EQ(d.values().releMod, 1);
    EXPECT_FALSE(Edit(&d, "edit_delay5")->isEnabled());
    EXPECT_FALSE(Edit(&d, "edit_f_start")->isEnabled());
    EXPECT_FALSE(Edit(&d, "edit_f_stop")->isEnabled());
    emit mode->activated(7);  // not an entry: the first
    EXPECT_EQ(d.values().releMod, 0);
    EXPECT_TRUE(Edit(&d, "edit_f_stop")->isEnabled());

    ChoiceCombo* input = Combo(&d, "combo_input_mode");
    input->setCurrentIndex(3);  // not a user pick
    EXPECT_EQ(d.values().inputMode, 0);
    emit input->activated(4);
    EXPECT_EQ(d.values().inputMode, 4);
}

TEST(RuvSet, LevelOneLocksThreeListsYetWritesThem) {
    CRuvSet d(CurveSetup(), false);
    EXPECT_FALSE(Combo(&d, "combo_NumBatt")->isEnabled());
    EXPECT_FALSE(Combo(&d, "combo_num_board")->isEnabled());
    EXPECT_FALSE(Combo(&d, "combo_rele_mod")->isEnabled());
    EXPECT_TRUE(Combo(&d, "combo_enable")->isEnabled());
    Seams seams;
    d.accept();
    EXPECT_EQ(d.result(), QDialog::Accepted);
    UpsSetup w = CurveSetup();
    d.StoreInto(w);
    EXPECT_EQ(w.sizeCode, 2);
    EXPECT_EQ(w.numBatt, 4);
    EXPECT_EQ(w.extra2, 9.75);
}

TEST(RuvSet, OkValidatesTheCurveAndStaysOpen) {
    Seams seams;
    CRuvSet d(UpsSetup{}, true);  // all periods 0: frequencies 0
    d.show();
    d.accept();
    EXPECT_TRUE(d.isVisible());
    EXPECT_EQ(seams.texts(), QStringList{"Frequency/power values must be in ascending order"});

    for (int k = 0; k < 8; ++k) {
        Edit(&d, qPrintable(QStringLiteral("edit_pfreq%1").arg(k)))->setText(QString::number(40 + k));
        Edit(&d, qPrintable(QStringLiteral("edit_pow%1").arg(k)))->setText(QString::number(700 * k) + " W");
    }
    Edit(&d, "edit_pow7")->setText("5001");
    seams.boxes.clear();
    d.accept();
    EXPECT_EQ(seams.texts(), QStringList{"Power values exceed size"});
    EXPECT_EQ(Edit(&d, "edit_pow7")->text(), "5001");  // the values stay as typed

    Edit(&d, "edit_pow7")->setText("5000");
    Edit(&d, "edit_slope")->setText("");
    seams.boxes.clear();
    d.accept();
    // The pass stops at the slope, so the curve is checked with the powers read last time.
    EXPECT_EQ(seams.texts(), (QStringList{"Immettere un valore integer.", "Power values exceed size"}));
    EXPECT_TRUE(d.isVisible());

    Edit(&d, "edit_slope")->setText("3");
    seams.boxes.clear();
    d.accept();
    EXPECT_TRUE(seams.boxes.empty());
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(d.values().pow[1], 700);
}

TEST(RuvSet, DisabledRelayFieldsStillWrite) {
    UpsSetup s = CurveSetup();
    s.releMod = 1;
    s.delay5 = 45;
    s.fStartPeriod = 0.02;
    CRuvSet d(s, true);
    EXPECT_FALSE(Edit(&d, "edit_delay5")->isEnabled());
    Seams seams;
    d.accept();
    ASSERT_EQ(d.result(), QDialog::Accepted);
    UpsSetup w = s;
    w.delay5 = 0;
    w.fStartPeriod = 0;
    d.StoreInto(w);
    EXPECT_EQ(w.delay5, 45);
    EXPECT_DOUBLE_EQ(w.fStartPeriod, 0.02);
    EXPECT_EQ(w.releMod, 1);
}

// A block as the unit reports it: every value decoded from its raw word.
UpsSetup DecodedSetup() {
    UpsSetup s = CurveSetup();
    s.sizeCode = 3;
    s.vCycle = 3609 / 64.0;
    s.vStandby = 3500 / 64.0;
    s.vbattTh1 = 3100 / 64.0;
    s.ibattTh1 = 77 / 8.0;
    s.ibattTh2 = 13 / 8.0;
    s.pwmLinMax = 1234;
    s.pwmLinMin = 766;
    s.delay3 = 333 / 50.0;
    s.fattore = 1000 / 1024.0;
    s.slope = 7 * 6.25;
    s.fStartPeriod = 501 * 0.00004;
    s.fStopPeriod = 1234 * 0.00004;
    const int periods[8] = {25000, 22000, 16000, 9000, 5000, 1000, 500, 400};
    for (int k = 0; k < 8; ++k) s.period[k] = periods[k];
    return s;
}

TEST(RuvSet, UntouchedFieldsGoBackBitForBitTypedOnesAreConverted) {
    const UpsSetup read = DecodedSetup();
    CRuvSet d(read, true);
    Edit(&d, "edit_Ampereh")->setText("36");  // Imax charge, the one field changed
    Seams seams;
    d.accept();
    ASSERT_EQ(d.result(), QDialog::Accepted) << seams.texts().join("|").toStdString();
    UpsSetup w = read;
    d.StoreInto(w);
    UpsSetup expected = read;
    expected.ampereh = 12;
    EXPECT_EQ(SetupFrame(w), SetupFrame(expected));

    // A typed frequency is converted, 500 -> 499 included.
    CRuvSet typed(read, true);
    Edit(&typed, "edit_pfreq6")->setText("50.0");
    typed.accept();
    ASSERT_EQ(typed.result(), QDialog::Accepted);
    w = read;
    typed.StoreInto(w);
    EXPECT_EQ(w.period[6], 499);
    EXPECT_EQ(w.period[0], 25000);
}

TEST(RuvSet, ValuesBeyondTheirWireWordAreRefused) {
    struct Case {
        const char* edit;
        const char* text;
        QStringList said;  // the message names the field and its range
    };
    const Case cases[] = {
        {"edit_pfreq0", "0.1", {"Frequency (Hz)", "0.39", "25000"}},
        {"edit_pfreq7", "30000", {"Frequency (Hz)", "0.39", "25000"}},
        {"edit_f_start", "0.2", {"Freq start", "0.39", "25000"}},
        {"edit_f_stop", "1e-320", {"Freq stop"}},  // no finite period at all
        {"edit_Ampereh", "-6", {"Imax charge", "196605"}},
        {"edit_pwm_lin_max", "700", {"V max", "-10", "645.35"}},
    };
    for (const Case& c : cases) {
        CRuvSet d(DecodedSetup(), true);
        d.show();
        Edit(&d, c.edit)->setText(c.text);
        Seams seams;
        d.accept();
        EXPECT_TRUE(d.isVisible()) << c.edit;
        ASSERT_EQ(seams.boxes.size(), 1u) << c.edit;
        for (const QString& part : c.said)
            EXPECT_TRUE(seams.boxes[0].text.contains(part)) << c.edit << ": " << seams.boxes[0].text.toStdString();
        EXPECT_EQ(d.focusWidget(), Edit(&d, c.edit)) << c.edit;
    }
    // The edges themselves fit.
    CRuvSet d(DecodedSetup(), true);
    Edit(&d, "edit_pfreq0")->setText("0.39");
    Edit(&d, "edit_pfreq7")->setText("25000");
    Edit(&d, "edit_f_start")->setText("0");
    Edit(&d, "edit_VbattTH1")->setText("1023.98");
    Seams seams;
    d.accept();
    EXPECT_EQ(d.result(), QDialog::Accepted) << seams.texts().join("|").toStdString();
}

}  // namespace
