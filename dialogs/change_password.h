// "Change Password": collects one access code, masked. It checks nothing and keeps nothing.
#pragma once

#include <QDialog>
#include <QString>

namespace Ui { class CChangePassword; }

class CChangePassword : public QDialog {
    Q_OBJECT
public:
    explicit CChangePassword(QWidget* parent = nullptr);
    ~CChangePassword() override;

    // The edit's whole text as confirmed with OK (no trimming, no change of case).
    QString code() const { return code_; }

public slots:
    void accept() override;

private:
    Ui::CChangePassword* ui_;
    QString code_;
};
