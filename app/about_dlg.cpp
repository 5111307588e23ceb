#include "app/about_dlg.h"

#include "app/artwork.h"
#include "ui_about.h"
#include "widgets/dialog_units.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent), ui_(new Ui::CAboutDlg) {
    ui_->setupUi(this);
    ApplyDialogUnits(this);
    ui_->iconLabel->setPixmap(AppIcon().pixmap(32, 32));
}

CAboutDlg::~CAboutDlg() { delete ui_; }
