#include "dialogs/set_parameters.h"

#include <cmath>

#include "ui_set_parameters.h"

namespace {
// Cut toward zero to one decimal; "+ 0.0" turns a negative zero into a plain one.
double CutToTenth(double v) { return std::trunc(v * 10) / 10 + 0.0; }
}  // namespace

CSetParameters::CSetParameters(const UserParameters& read, QWidget* parent)
    : QDialog(parent), ui_(new Ui::CSetParameters), fields_(this) {
    ui_->setupUi(this);
    values_ = read;
    for (double& level : values_.rmsLevel) level = CutToTenth(level);
    values_.auxValue2 = CutToTenth(read.auxValue2);

    fields_.Int(ui_->edit_Option, &values_.option);
    fields_.Int(ui_->edit_PowerOnRestart, &values_.powerOnRestart);
    fields_.Int(ui_->edit_RestartDelay, &values_.restartDelay);
    fields_.Int(ui_->edit_SleepDelay, &values_.sleepDelay);
    fields_.UInt(ui_->edit_UpsAddress, &values_.upsAddress);
    fields_.Show();

    connect(ui_->buttonBox, &QDialogButtonBox::accepted, this, &CSetParameters::accept);
    connect(ui_->buttonBox, &QDialogButtonBox::rejected, this, &CSetParameters::reject);
}

CSetParameters::~CSetParameters() { delete ui_; }

void CSetParameters::accept() {
    if (fields_.Read()) QDialog::accept();
}
