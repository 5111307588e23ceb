#include "dialogs/manage.h"

#include <algorithm>

#include "ui_manage.h"

CManage::CManage(const _ZozeUps& snapshot, QWidget* parent)
    : QDialog(parent), ui_(new Ui::CManage), fields_(this) {
    ui_->setupUi(this);
    std::copy_n(snapshot.debugRead, 12, value_);
    QLineEdit* const edits[12] = {ui_->edit_Value1, ui_->edit_Value2,  ui_->edit_Value3,
                                  ui_->edit_Value4, ui_->edit_Value5,  ui_->edit_Value6,
                                  ui_->edit_Value7, ui_->edit_Value8,  ui_->edit_Value9,
                                  ui_->edit_Value10, ui_->edit_Value11, ui_->edit_Value12};
    // The unit reports each value as a signed word.
    for (int i = 0; i < 12; ++i) fields_.Int(edits[i], &value_[i], SignedWord(QStringLiteral("Value%1").arg(i + 1)));
    fields_.Show();
    connect(ui_->buttonBox, &QDialogButtonBox::accepted, this, &CManage::accept);
    connect(ui_->buttonBox, &QDialogButtonBox::rejected, this, &CManage::reject);
}

CManage::~CManage() { delete ui_; }

void CManage::StoreInto(_ZozeUps& device) const { std::copy_n(value_, 12, device.debugWrite); }

void CManage::accept() {
    if (fields_.Read()) QDialog::accept();
}
