// The main panel: live measurements of device 0 as value texts and bar gauges, the state lines,
// the button column, the data log and the link's notifications.
#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>
#include <ctime>
#include <functional>

#include "link/ups_link.h"

class QMainWindow;
class ServiceMenu;
namespace Ui { class CAlderaView; }

class CAlderaView : public QWidget {
    Q_OBJECT
public:
    // frame: the main window whose caption and menu bar the panel drives (may be null in tests).
    explicit CAlderaView(QMainWindow* frame = nullptr, QWidget* parent = nullptr);
    ~CAlderaView() override;

    // Once the window exists: fills the controls, fits the frame to the form, registers with the
    // link and removes the "User" popup from the menu bar.
    void OnInitialUpdate();

    // The update hook: loads the picture and the rating words and repaints. Runs inside the
    // initial update and again when the framework starts a new or opened document.
    void OnUpdate();

    // WM_UPS_REFRESH: 1 when it stopped because the rating changed to zero, else 0.
    int OnUpsRefresh(uintptr_t wParam = 0, intptr_t lParam = 0);
    // WM_UPS_EVENT. Always 0.
    int OnUpsEvent(uintptr_t code, intptr_t argument);

    void WriteDataLog();

    // Button handlers.
    void OnRecharge();
    void OnHistory();
    void OnFailureSystem();

    ServiceMenu* serviceMenu() const { return serviceMenu_; }
    double cachedRating() const { return cachedRating_; }
    int integerRating() const { return integerRating_; }
    int logCountdown() const { return logCountdown_; }

    // Tests: where the time of a log row comes from, and what ending the program does.
    using Clock = std::function<std::time_t()>;
    void SetClock(Clock clock) { clock_ = std::move(clock); }
    using ExitHandler = std::function<void(int status)>;
    void SetExitHandler(ExitHandler handler) { exitHandler_ = std::move(handler); }

signals:
    // After each complete refresh, with the copy of device 0 it showed.
    void Refreshed(const _ZozeUps& ups);

protected:
    void customEvent(QEvent* event) override;

private:
    void UpdateControls();  // pushes every text into its control
    void PresentState(const _ZozeUps& ups);
    void OpaqueTexts();
    void ShowStale(bool stale);  // greys the readings and says since when there is no data
    void WriteDataLog(const UpsStatusBlock& status);
    void EnableInPopup1(int commandId);

    Ui::CAlderaView* ui_;
    QMainWindow* frame_;
    ServiceMenu* serviceMenu_ = nullptr;

    // Texts kept between refreshes and pushed to their controls in one pass.
    QString freqText_, vbattText_, ibattText_, ioutText_, poutText_, loadText_;
    QString tbattText_, vhpText_, theatText_, tcaseText_;
    QString ibattMaxText_, ioutMaxText_, poutMaxText_;
    QString ratingLine_, chargeLine_, statusLine_;
    double freqLow_ = 0, freqHigh_ = 0, vbattHigh_ = 0;

    QString productWord_, unitWord_;
    double cachedRating_ = -1.0;
    int integerRating_ = 0;
    bool haveLimits_ = false;  // a non-zero rating has set the limits below
    double lowerCurrentLimit_ = 0, currentLimit_ = 0, currentBarMax_ = 0;
    double lowerPowerLimit_ = 0, powerLimit_ = 0, powerBarMax_ = 0;
    int logCountdown_ = 10;

    Clock clock_;
    ExitHandler exitHandler_;
    std::time_t lastGood_ = 0;  // the last refresh with a good status
    bool shownStale_ = false;
};
