// "Com Port": picks the serial port of the unit from the ports the system offers.
#pragma once

#include <QDialog>

namespace Ui { class CChoseCom; }

class CChoseCom : public QDialog {
    Q_OBJECT
public:
    CChoseCom(int comPort, QWidget* parent = nullptr);
    ~CChoseCom() override;

    // The port number: the one the dialog started with until the user picks a listed port.
    int portNumber() const { return port_; }

private:
    void OnChoice(int index);
    void ShowDevicePath();

    Ui::CChoseCom* ui_;
    int port_;
};
