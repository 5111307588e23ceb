#include "dialogs/corrad.h"

#include <algorithm>

#include "ui_corrad.h"

CCorrad::CCorrad(const _ZozeUps& snapshot, QWidget* parent)
    : QDialog(parent), ui_(new Ui::CCorrad), fields_(this) {
    ui_->setupUi(this);
    std::copy_n(snapshot.adOffsetRead, 16, offset_);
    std::copy_n(snapshot.adAmplitudeRead, 16, amplitude_);

    QLineEdit* const off[16] = {
        ui_->edit_offset_VIN, ui_->edit_offset_IBAT, ui_->edit_offset_VOUT, ui_->edit_offset_IOUT,
        ui_->edit_offset_VBATT, ui_->edit_offset_VHP, ui_->edit_offset_IBAT_B, ui_->edit_offset_VAP,
        ui_->edit_offset_V010, ui_->edit_offset_TD, ui_->edit_offset_TB, ui_->edit_offset_SVALD,
        ui_->edit_offset_RFM, ui_->edit_offset_IOUT_B, ui_->edit_offset_IIN_B, ui_->edit_offset_IIN_C};
    QLineEdit* const amp[16] = {
        ui_->edit_amplitude_VIN, ui_->edit_amplitude_IBAT, ui_->edit_amplitude_VOUT,
        ui_->edit_amplitude_IOUT, ui_->edit_amplitude_VBATT, ui_->edit_amplitude_VHP,
        ui_->edit_amplitude_IBAT_B, ui_->edit_amplitude_VAP, ui_->edit_amplitude_V010,
        ui_->edit_amplitude_TD, ui_->edit_amplitude_TB, ui_->edit_amplitude_SVALD,
        ui_->edit_amplitude_RFM, ui_->edit_amplitude_IOUT_B, ui_->edit_amplitude_IIN_B,
        ui_->edit_amplitude_IIN_C};

    // The form's historic read order; RFM is the one channel read amplitude first.
    enum { VIN, IBAT, VOUT, IOUT, VBATT, VHP, IBAT_B, VAP, V010, TD, TB, SVALD, RFM, IOUT_B, IIN_B, IIN_C };
    static const char* const names[16] = {"VIN", "IBAT", "VOUT", "IOUT", "VBATT", "VHP", "IBAT_B", "VAP",
                                           "V010", "TD", "TB", "SVALD", "RFM", "IOUT_B", "IIN_B", "IIN_C"};
    // The unit keeps each correction as a signed word.
    auto offset = [&](int ch) {
        fields_.Int(off[ch], &offset_[ch], SignedWord(QStringLiteral("OFFSET ") + QLatin1String(names[ch])));
    };
    auto amplitude = [&](int ch) {
        fields_.Int(amp[ch], &amplitude_[ch], SignedWord(QStringLiteral("AMPLITUDE ") + QLatin1String(names[ch])));
    };
    auto both = [&](int ch) {
        offset(ch);
        amplitude(ch);
    };
    both(IIN_B);
    both(IIN_C);
    both(IBAT);
    both(IOUT_B);
    both(IOUT);
    amplitude(RFM);
    offset(RFM);
    for (int ch : {SVALD, TB, TD, V010, VAP, VBATT, IBAT_B, VHP, VIN, VOUT}) both(ch);
    fields_.Show();

    connect(ui_->buttonBox, &QDialogButtonBox::accepted, this, &CCorrad::accept);
    connect(ui_->buttonBox, &QDialogButtonBox::rejected, this, &CCorrad::reject);
}

CCorrad::~CCorrad() { delete ui_; }

void CCorrad::StoreInto(_ZozeUps& device) const {
    std::copy_n(offset_, 16, device.adOffsetWrite);
    std::copy_n(amplitude_, 16, device.adAmplitudeWrite);
}

void CCorrad::accept() {
    if (fields_.Read()) QDialog::accept();
}
