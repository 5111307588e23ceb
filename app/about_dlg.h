// Help > "About Vespero Monitor ...".
#pragma once

#include <QDialog>

namespace Ui { class CAboutDlg; }

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
    ~CAboutDlg() override;

private:
    Ui::CAboutDlg* ui_;
};
