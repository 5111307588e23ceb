#include "app/about_dlg.h"

#include "app/artwork.h"
#include "ui_about.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent), ui_(new Ui::CAboutDlg) {
    ui_->setupUi(this);
    ui_->iconLabel->setPixmap(AppIcon().pixmap(32, 32));
    setFixedSize(size());
}

CAboutDlg::~CAboutDlg() { delete ui_; }
