// A drop-down list over a fixed table of entries. The chosen index is the value; the item list
// is emptied and refilled from the table each time the drop-down opens, and only a pick by the
// user changes the choice.
#pragma once

#include <QComboBox>

#include "dialogs/setup_values.h"

class ChoiceCombo : public QComboBox {
    Q_OBJECT
public:
    explicit ChoiceCombo(QWidget* parent = nullptr);

    void SetEntries(const ChoiceList& list);
    // Shows the label of entry index (an index outside the table shows the first entry).
    void SetChoice(int index);
    int choice() const { return choice_; }

    void showPopup() override;

signals:
    void choiceMade(int index);

private:
    void Refill();

    ChoiceList list_{nullptr, 0};
    int choice_ = 0;
};
