// "Dialog": offset and amplitude corrections of the sixteen measuring channels.
#pragma once

#include <QDialog>
#include <cstdint>

#include "dialogs/dialog_fields.h"
#include "link/ups_link.h"

namespace Ui { class CCorrad; }

class CCorrad : public QDialog {
    Q_OBJECT
public:
    CCorrad(const _ZozeUps& snapshot, QWidget* parent = nullptr);
    ~CCorrad() override;

    const int32_t* offsets() const { return offset_; }
    const int32_t* amplitudes() const { return amplitude_; }
    void StoreInto(_ZozeUps& device) const;

public slots:
    void accept() override;

private:
    Ui::CCorrad* ui_;
    int32_t offset_[16] = {};
    int32_t amplitude_[16] = {};
    DialogFields fields_;
};
