#include "dialogs/change_password.h"

#include "ui_change_password.h"

CChangePassword::CChangePassword(QWidget* parent) : QDialog(parent), ui_(new Ui::CChangePassword) {
    ui_->setupUi(this);
    connect(ui_->buttonBox, &QDialogButtonBox::accepted, this, &CChangePassword::accept);
    connect(ui_->buttonBox, &QDialogButtonBox::rejected, this, &CChangePassword::reject);
}

CChangePassword::~CChangePassword() { delete ui_; }

void CChangePassword::accept() {
    code_ = ui_->edit_Password->text();
    QDialog::accept();
}
