// The trend window: battery voltage, output load, battery and heat-sink temperatures and
// frequency over time, live from the panel's refreshes or from a data log read back.
#pragma once

#include <QImage>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "app/trend/log_reader.h"
#include "app/trend/trend_ring.h"
#include "link/ups_link.h"

class QAreaSeries;
class QChart;
class QComboBox;
class QChartView;
class QCategoryAxis;
class QLabel;
class QLineSeries;
class QProgressBar;
class QPushButton;
class QThread;
class QTimer;
class QValueAxis;
class QVBoxLayout;

class CTrendWindow : public QWidget {
    Q_OBJECT
public:
    // About ten hours of refreshes at the rate one unit is polled.
    static constexpr size_t kRingCapacity = 1 << 17;
    // Points of a loaded log: a year still shows an average for every few minutes.
    static constexpr size_t kLogPoints = 1 << 16;
    // Points drawn per series, whatever the range shown.
    static constexpr size_t kShownPoints = 1500;

    explicit CTrendWindow(QWidget* parent = nullptr);
    ~CTrendWindow() override;

    // Each refresh: one sample of device 0 into the ring. O(1); the chart follows on its timer.
    // Nothing before the unit first answers; while it does not answer ("Timeout") one gap
    // marks the outage, so no line is drawn through it.
    void OnUpsRefresh(const _ZozeUps& ups);
    void AddSample(const TrendSample& sample);
    static TrendSample SampleOf(const _ZozeUps& ups, int64_t msecs);

    // Back to the live ring, following its newest samples over the chosen span.
    void ShowLive();
    // Asks for a log file and reads it on a worker thread.
    void OnOpenLog();
    void OpenLog(const QString& path);
    void CancelLoad();
    bool loading() const { return loader_ != nullptr; }

    // Zoom around a time: factor below 1 narrows the range.
    void Zoom(double factor, int64_t anchorMsecs);
    void ResetZoom();
    void OnExportPng();
    void OnExportCsv();
    bool ExportPng(const QString& path);
    bool ExportCsv(const QString& path);

    // What is on the chart now.
    int64_t shownFrom() const { return from_; }
    int64_t shownTo() const { return to_; }
    bool showingLog() const { return showingLog_; }
    const TrendRing& ring() const { return ring_; }
    const std::vector<TrendSample>& logPoints() const { return logPoints_; }
    // Null until the window is first shown or exported. The first piece of a quantity's line;
    // each gap starts another piece, drawn by a series of its own.
    QLineSeries* series(int index) const { return series_[index]; }
    // All pieces of a quantity's line in use now (those with points), oldest first.
    std::vector<QLineSeries*> pieces(int index) const;
    // The min/max bands of a quantity in use now: drawn only where points are averages.
    std::vector<QAreaSeries*> bands(int index) const;
    // The value axis a quantity is drawn against (one per unit).
    QValueAxis* axisOf(int index) const;
    // Shaded behind the lines where no data came: its upper edge rises to 1 at each outage's
    // start and falls back to 0 at its end.
    QAreaSeries* outageBand() const { return outage_; }
    // The chart with a heading above it: title, source, quantities with their units, time range.
    QImage Picture();
    QChartView* chartView() const { return chartView_; }
    QString statusText() const;
    // Redraws now instead of on the next tick.
    void Redraw();

    // Tests: where the time of a live sample comes from.
    using Clock = std::function<int64_t()>;
    void SetClock(Clock clock) { clock_ = std::move(clock); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    struct Load;
    void EnsureChart();
    void OnTick();
    void LoadFinished();
    // The samples of the current source within [from, to], oldest first, through f.
    // spread is null for a single sample (a live one, or a log point that averages one row).
    void ForEachShown(const std::function<void(const TrendSample&, const TrendSpread*)>& f) const;
    // The range box's choices: the live spans, or spans that fit the log's extent.
    void FillSpans();
    void OnSpanChosen();
    struct Piece;
    Piece& PieceOf(int s, size_t i);
    void SourceRange(int64_t& first, int64_t& last) const;
    int64_t Now() const;

    TrendRing ring_{kRingCapacity};
    std::vector<TrendSample> logPoints_;
    std::vector<TrendSpread> logSpread_;
    bool logFolded_ = false;  // some log points average more than one row
    bool showingLog_ = false;
    bool following_ = true;  // the range moves with the newest live sample
    int64_t span_ = 60 * 60 * 1000;
    int64_t from_ = 0, to_ = 0;
    bool dirty_ = false;

    QChart* chart_ = nullptr;  // built when first needed
    QChartView* chartView_ = nullptr;
    QCategoryAxis* axisX_ = nullptr;
    QValueAxis* axes_[4] = {};  // volts, percent, degrees, hertz
    QLineSeries* series_[kTrendSeriesCount] = {};
    std::vector<Piece> pieces_[kTrendSeriesCount];  // kept for reuse, empty when unused
    bool linked_ = false;   // the unit has answered in this session
    bool gapOpen_ = false;  // a gap marks the present outage
    int64_t lostSince_ = 0;  // when it began
    QAreaSeries* outage_ = nullptr;
    QLineSeries* outageTop_ = nullptr;
    QLineSeries* outageBottom_ = nullptr;
    bool voltsSeen_ = false;
    int blocks_ = 0;  // the unit's 12 V battery blocks, once reported: a log's charge uses it
    QComboBox* spans_;
    QVBoxLayout* layout_;
    QLabel* status_;
    QLabel* legend_;
    bool shown_[kTrendSeriesCount] = {};  // quantities with something to draw
    QProgressBar* progress_;
    QPushButton* cancel_;
    QTimer* tick_;
    QString source_;

    std::unique_ptr<Load> loader_;
    int64_t logRows_ = 0, logSkipped_ = 0;
    Clock clock_;
};
