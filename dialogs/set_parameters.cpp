#include "dialogs/set_parameters.h"

#include "ui_set_parameters.h"

CSetParameters::CSetParameters(const UserParameters& read, QWidget* parent)
    : QDialog(parent), ui_(new Ui::CSetParameters), fields_(this) {
    ui_->setupUi(this);
    // The hidden values go back exactly as read: cutting them to a tenth would lower the unit's
    // levels a little on every OK.
    values_ = read;

    // Each goes to the unit as one unsigned word.
    fields_.Int(ui_->edit_Option, &values_.option, UnsignedWord(QStringLiteral("Option")));
    fields_.Int(ui_->edit_PowerOnRestart, &values_.powerOnRestart, UnsignedWord(QStringLiteral("PowerOnRestart")));
    fields_.Int(ui_->edit_RestartDelay, &values_.restartDelay, UnsignedWord(QStringLiteral("RestartDelay")));
    fields_.Int(ui_->edit_SleepDelay, &values_.sleepDelay, UnsignedWord(QStringLiteral("SleepDelay")));
    fields_.UInt(ui_->edit_UpsAddress, &values_.upsAddress, UnsignedWord(QStringLiteral("UpsAddress")));
    fields_.Show();

    connect(ui_->buttonBox, &QDialogButtonBox::accepted, this, &CSetParameters::accept);
    connect(ui_->buttonBox, &QDialogButtonBox::rejected, this, &CSetParameters::reject);
}

CSetParameters::~CSetParameters() { delete ui_; }

void CSetParameters::accept() {
    if (fields_.Read()) QDialog::accept();
}
