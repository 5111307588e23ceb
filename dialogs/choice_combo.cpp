#include "dialogs/choice_combo.h"

ChoiceCombo::ChoiceCombo(QWidget* parent) : QComboBox(parent) {
    setSizeAdjustPolicy(QComboBox::AdjustToContents);
    connect(this, &QComboBox::activated, this, [this](int index) {
        choice_ = list_.count > 0 ? ClampChoice(list_, index) : 0;
        emit choiceMade(choice_);
    });
}

void ChoiceCombo::SetEntries(const ChoiceList& list) {
    list_ = list;
    Refill();
}

void ChoiceCombo::SetChoice(int index) {
    choice_ = list_.count > 0 ? ClampChoice(list_, index) : 0;
    if (count() != list_.count) Refill();
    setCurrentIndex(choice_);
}

void ChoiceCombo::Refill() {
    const QSignalBlocker quiet(this);
    clear();
    for (int i = 0; i < list_.count; ++i) addItem(QString::fromLatin1(list_.entries[i].label));
    setCurrentIndex(list_.count > 0 ? choice_ : -1);
}

void ChoiceCombo::showPopup() {
    Refill();
    QComboBox::showPopup();
}
