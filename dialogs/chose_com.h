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

    // OK first opens the chosen port at this bit rate and refuses it, with the system's reason,
    // when it does not open: a saved port that cannot be opened would end every later start.
    // startPortOpen: the starting port is open in the link right now, so keeping it needs no try.
    void SetLine(int baudRate, bool startPortOpen) {
        baudRate_ = baudRate;
        startPortOpen_ = startPortOpen;
    }

public slots:
    void accept() override;

private:
    void OnChoice(int index);
    void ShowDevicePath();

    Ui::CChoseCom* ui_;
    int port_;
    const int startPort_;
    int baudRate_ = 9600;
    bool startPortOpen_ = false;
};
