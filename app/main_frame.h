// The main window: menu bar, status bar and the panel in its middle.
#pragma once

#include <QMainWindow>

class QLabel;

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    explicit CMainFrame(QWidget* parent = nullptr);

    // The lock indicators as they are shown ("CAP", "NUM", "SCRL" or blank).
    QLabel* Indicator(int id) const;
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
    void ToggleIndicator(int id);

    QLabel* messagePane_ = nullptr;
    QLabel* caps_ = nullptr;
    QLabel* num_ = nullptr;
    QLabel* scroll_ = nullptr;
};
