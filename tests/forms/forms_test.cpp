#include <QLabel>
#include <gtest/gtest.h>

#include "all_forms.h"
#include "widgets/dialog_units.h"

namespace {

std::unique_ptr<QWidget> Make(const char* file) {
    for (const FormEntry& form : AllForms())
        if (QString::fromLatin1(form.file) == QLatin1String(file)) return form.make();
    ADD_FAILURE() << "no form " << file;
    return nullptr;
}

// The set-up dialog is read column by column, top to bottom; Tab follows the same path.
TEST(Forms, SetUpDialogTabsColumnByColumn) {
    auto form = Make("ruv_set");
    ASSERT_TRUE(form);
    QStringList expected = {"edit_Ampereh", "edit_Vcycle", "edit_Vstandby", "combo_NumBatt",
                            "combo_num_board", "combo_enable", "combo_input_mode", "edit_fattore",
                            "edit_slope", "combo_rl1", "combo_rl2", "combo_rele_mod", "edit_delay5",
                            "edit_f_start", "edit_f_stop", "edit_VbattTH1", "edit_IbattTH1",
                            "edit_IbattTH2", "edit_pwm_lin_max", "edit_pwm_lin_min", "edit_delay3"};
    for (int k = 0; k < 8; ++k) expected << QStringLiteral("edit_pow%1").arg(k);
    for (int k = 0; k < 8; ++k) expected << QStringLiteral("edit_pfreq%1").arg(k);
    expected << "button_Load" << "button_Save" << "button_Default";

    QWidget* first = form->findChild<QWidget*>(expected.first());
    ASSERT_NE(first, nullptr);
    QStringList chain;
    QWidget* w = first;
    do {
        if (expected.contains(w->objectName())) chain << w->objectName();
        w = w->nextInFocusChain();
    } while (w != first);
    EXPECT_EQ(chain.join(' ').toStdString(), expected.join(' ').toStdString());
}

}  // namespace
