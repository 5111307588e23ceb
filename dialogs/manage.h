// "Manage Debug": the unit's twelve raw service values.
#pragma once

#include <QDialog>
#include <cstdint>

#include "dialogs/dialog_fields.h"
#include "link/ups_link.h"

namespace Ui { class CManage; }

class CManage : public QDialog {
    Q_OBJECT
public:
    CManage(const _ZozeUps& snapshot, QWidget* parent = nullptr);
    ~CManage() override;

    const int32_t* values() const { return value_; }
    void StoreInto(_ZozeUps& device) const;

public slots:
    void accept() override;

private:
    Ui::CManage* ui_;
    int32_t value_[12] = {};
    DialogFields fields_;
};
