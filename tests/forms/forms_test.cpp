#include <QCoreApplication>
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

// The width a label's text needs beyond what the label gives it (0 when it fits). Plain text
// only, line by line; labels that wrap or show a picture take any width.
int Shortfall(const QLabel* label) {
    if (label->text().isEmpty() || label->wordWrap() || !label->pixmap().isNull()) return 0;
    const QFontMetrics metrics = label->fontMetrics();
    int need = 0;
    for (const QString& line : label->text().split(QLatin1Char('\n')))
        need = std::max(need, metrics.horizontalAdvance(line));
    int indent = label->indent();
    if (indent < 0) indent = label->frameWidth() > 0 ? metrics.horizontalAdvance(QLatin1Char('x')) / 2 : 0;
    const int room = label->contentsRect().width() - 2 * label->margin() - indent;
    return std::max(0, need - room);
}

// At the default font no label of any form is narrower than its text: forms laid out in dialog
// units are converted as their dialogs do it, forms with layouts are shown so the layouts act.
TEST(Forms, EveryLabelIsWideEnoughForItsText) {
    ASSERT_EQ(AllForms().size(), size_t(FORMS_IN_RES)) << "a form of res/ is missing from all_forms.cpp";
    for (const FormEntry& entry : AllForms()) {
        std::unique_ptr<QWidget> form = entry.make();
        ApplyDialogUnits(form.get());
        form->show();
        QCoreApplication::processEvents();
        for (const QLabel* label : form->findChildren<QLabel*>())
            EXPECT_EQ(Shortfall(label), 0) << entry.file << ": " << label->objectName().toStdString()
                                           << " \"" << label->text().toStdString() << "\" is "
                                           << label->width() << " px wide";
        form->hide();
    }
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
