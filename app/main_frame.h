// The main window: menu bar, status bar and the panel in its middle.
#pragma once

#include <QMainWindow>

#include "app/lock_keys.h"

class QLabel;
class QTimer;

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    explicit CMainFrame(QWidget* parent = nullptr);

    // The lock indicators as they are shown ("CAP", "NUM", "SCRL" or blank).
    QLabel* Indicator(int id) const;
    // Shows the lock keys' state as the system has it now; blank where it cannot be read.
    void UpdateIndicators();
    QLabel* MessagePane() const { return messagePane_; }

signals:
    void AboutRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildMenuBar();
    void BuildAccelerators();
    void BuildStatusBar();

    QLabel* messagePane_ = nullptr;
    QLabel* caps_ = nullptr;
    QLabel* num_ = nullptr;
    QLabel* scroll_ = nullptr;
    LockKeyReader lockKeys_;
    QTimer* lockKeyPoll_ = nullptr;
};
