// "User Parameters": five user-level parameters of the unit. The other seven values of the
// block ride along unseen so OK writes the complete block.
#pragma once

#include <QDialog>

#include "dialogs/dialog_fields.h"
#include "link/ups_link.h"

namespace Ui { class CSetParameters; }

class CSetParameters : public QDialog {
    Q_OBJECT
public:
    CSetParameters(const UserParameters& read, QWidget* parent = nullptr);
    ~CSetParameters() override;

    // The twelve values as the dialog holds them.
    UserParameters values() const { return values_; }
    void StoreInto(UserParameters& write) const { write = values_; }

public slots:
    void accept() override;

private:
    Ui::CSetParameters* ui_;
    UserParameters values_{};
    DialogFields fields_;
};
