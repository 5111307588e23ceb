#include "app/trend/trend_window.h"

#include <QBoxLayout>
#include <QCloseEvent>
#include <QHideEvent>
#include <QShowEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QGraphicsLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QWheelEvent>
#include <QPainter>
#include <QtCharts/QAreaSeries>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QCategoryAxis>
#include <QtCharts/QLegend>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "app/trend/trend_axis.h"
#include "app/trend/trend_load.h"
#include "app/trend/trend_series.h"
#include "link/battery_estimate.h"
#include "widgets/message_box.h"

namespace {
struct Span {
    const char* text;
    int64_t msecs;
};
constexpr int64_t kHour = 60 * 60 * 1000LL;
const Span kSpans[] = {{"10 min", kHour / 6}, {"1 h", kHour}, {"6 h", 6 * kHour}, {"24 h", 24 * kHour}};
// A log may hold years: its choices reach further; only those shorter than the log are offered.
const Span kLogSpans[] = {{"1 h", kHour},           {"24 h", 24 * kHour},        {"7 days", 7 * 24 * kHour},
                          {"30 days", 30 * 24 * kHour}, {"1 year", 365 * 24 * kHour}};
}  // namespace

// A piece of a quantity's line between two gaps, with its min/max band behind it.
struct CTrendWindow::Piece {
    QLineSeries* line = nullptr;
    QAreaSeries* band = nullptr;
    QLineSeries* upper = nullptr;  // the band's edges, owned by the band
    QLineSeries* lower = nullptr;
};


CTrendWindow::CTrendWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setWindowTitle(QStringLiteral("Trend - Vespero"));
    setObjectName(QStringLiteral("trendWindow"));

    auto* live = new QPushButton(QStringLiteral("Live"));
    auto* spans = spans_ = new QComboBox;
    spans->setObjectName(QStringLiteral("spans"));
    // As wide as its longest choice ("Whole log" once a log is open), not its first.
    spans->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    auto* open = new QPushButton(QStringLiteral("Open log..."));
    auto* reset = new QPushButton(QStringLiteral("Reset zoom"));
    auto* png = new QPushButton(QStringLiteral("Export PNG..."));
    auto* csv = new QPushButton(QStringLiteral("Export CSV..."));
    open->setObjectName(QStringLiteral("openLog"));
    png->setObjectName(QStringLiteral("exportPng"));
    csv->setObjectName(QStringLiteral("exportCsv"));
    connect(live, &QPushButton::clicked, this, &CTrendWindow::ShowLive);
    connect(spans, &QComboBox::currentIndexChanged, this, &CTrendWindow::OnSpanChosen);
    connect(open, &QPushButton::clicked, this, &CTrendWindow::OnOpenLog);
    connect(reset, &QPushButton::clicked, this, &CTrendWindow::ResetZoom);
    connect(png, &QPushButton::clicked, this, &CTrendWindow::OnExportPng);
    connect(csv, &QPushButton::clicked, this, &CTrendWindow::OnExportCsv);

    status_ = new QLabel;
    progress_ = new QProgressBar;
    progress_->setRange(0, 1000);
    progress_->setVisible(false);
    cancel_ = new QPushButton(QStringLiteral("Cancel"));
    cancel_->setVisible(false);
    connect(cancel_, &QPushButton::clicked, this, &CTrendWindow::CancelLoad);

    auto* tools = new QHBoxLayout;
    tools->addWidget(live);
    tools->addWidget(spans);
    tools->addWidget(open);
    tools->addWidget(reset);
    tools->addStretch(1);
    tools->addWidget(png);
    tools->addWidget(csv);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(status_, 1);
    bottom->addWidget(progress_, 1);
    bottom->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(tools);
    layout->addStretch(1);  // the chart's place, until it is first shown
    legend_ = new QLabel;
    legend_->setObjectName(QStringLiteral("trendLegend"));
    legend_->setAlignment(Qt::AlignCenter);
    legend_->setTextFormat(Qt::RichText);
    layout->addWidget(legend_);
    layout->addLayout(bottom);
    layout_ = layout;
    resize(860, 520);

    // Runs only while the window is shown: hidden, it costs the program nothing but the ring.
    tick_ = new QTimer(this);
    tick_->setInterval(1000);
    connect(tick_, &QTimer::timeout, this, &CTrendWindow::OnTick);
    ShowLive();
}

CTrendWindow::~CTrendWindow() {
    if (loader_) {
        loader_->progress.cancel = true;
        loader_->thread->wait();
        delete loader_->thread;
    }
}

// The chart costs tens of milliseconds to build: not at the program's start, only when the
// window is first shown or asked for a picture.
void CTrendWindow::EnsureChart() {
    if (chart_) return;
    chart_ = new QChart;
    // Our own legend below the chart: the chart's shows every line piece and band of a quantity,
    // and hiding all but one of their markers leaves it blank.
    chart_->legend()->hide();
    // Times as milliseconds on a category axis: its ticks go where they are put, on round times,
    // where a date axis only divides its range evenly.
    axisX_ = new QCategoryAxis;
    axisX_->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    chart_->addAxis(axisX_, Qt::AlignBottom);
    // Outages behind everything else, full height, against an axis of their own that stays hidden.
    auto* outageAxis = new QValueAxis;
    outageAxis->setRange(0, 1);
    outageAxis->setVisible(false);
    chart_->addAxis(outageAxis, Qt::AlignRight);
    outage_ = new QAreaSeries;
    outageTop_ = new QLineSeries(outage_);
    outageBottom_ = new QLineSeries(outage_);
    outage_->setUpperSeries(outageTop_);
    outage_->setLowerSeries(outageBottom_);
    outage_->setBrush(QColor(128, 128, 128, 45));
    outage_->setPen(Qt::NoPen);
    outage_->setName(QStringLiteral("No data"));
    chart_->addSeries(outage_);
    outage_->attachAxis(axisX_);
    outage_->attachAxis(outageAxis);
    for (int u = 0; u < kUnitCount; ++u) {
        axes_[u] = new QValueAxis;
        axes_[u]->setLabelFormat(QStringLiteral("%.0f"));
        axes_[u]->setTitleText(QString::fromUtf8(kUnitTitles[u]));
        chart_->addAxis(axes_[u], u < kDegrees ? Qt::AlignLeft : Qt::AlignRight);
    }
    axes_[kVolts]->setLabelFormat(QStringLiteral("%.1f"));
    for (int s = 0; s < kTrendSeriesCount; ++s) series_[s] = PieceOf(s, 0).line;
    chartView_ = new QChartView(chart_);
    chartView_->setRenderHint(QPainter::Antialiasing);
    chartView_->setObjectName(QStringLiteral("trendChart"));
    chartView_->viewport()->installEventFilter(this);

    delete layout_->takeAt(1);
    layout_->insertWidget(1, chartView_, 1);
}

CTrendWindow::Piece& CTrendWindow::PieceOf(int s, size_t i) {
    std::vector<Piece>& all = pieces_[s];
    while (all.size() <= i) {
        Piece piece;
        QAbstractAxis* axisY = axes_[kUnitOf[s]];
        // Every band is drawn above every line: a band is translucent and hides no line, while
        // an opaque line drawn later would hide another quantity's band (a full-width view puts
        // the charge line right over the battery voltage's band).
        piece.line = new QLineSeries;
        piece.line->setName(QString::fromLatin1(kSeriesNames[s]));
        piece.line->setColor(kColours[s]);
        piece.line->setUseOpenGL(false);
        chart_->addSeries(piece.line);
        piece.line->attachAxis(axisX_);
        piece.line->attachAxis(axisY);
        for (int t = 0; t < kTrendSeriesCount; ++t) {
            for (Piece& other : pieces_[t]) {
                chart_->removeSeries(other.band);
                chart_->addSeries(other.band);
                other.band->attachAxis(axisX_);
                other.band->attachAxis(axes_[kUnitOf[t]]);
            }
        }
        piece.band = new QAreaSeries;
        piece.upper = new QLineSeries(piece.band);
        piece.lower = new QLineSeries(piece.band);
        piece.band->setUpperSeries(piece.upper);
        piece.band->setLowerSeries(piece.lower);
        QColor shade = kColours[s];
        shade.setAlpha(80);
        piece.band->setBrush(shade);
        // An edge in the same shade: a short outage in a long span is a band one pixel wide.
        shade.setAlpha(140);
        piece.band->setPen(QPen(shade, 1));
        piece.band->setUseOpenGL(false);
        chart_->addSeries(piece.band);
        piece.band->attachAxis(axisX_);
        piece.band->attachAxis(axisY);
        all.push_back(piece);
    }
    return all[i];
}

void CTrendWindow::showEvent(QShowEvent* event) {
    EnsureChart();
    Redraw();
    tick_->start();
    QWidget::showEvent(event);
}

void CTrendWindow::hideEvent(QHideEvent* event) {
    tick_->stop();
    QWidget::hideEvent(event);
}

TrendSample CTrendWindow::SampleOf(const _ZozeUps& ups, int64_t msecs) {
    // The quantities as the panel shows them.
    TrendSample s;
    s.msecs = msecs;
    s.value[kTrendVbatt] = float(ups.auxWordB[2] / 10.0);
    s.value[kTrendLoad] = float(ups.status.powerPercent);
    s.value[kTrendTbatt] = float(ups.status.batteryTemperature);
    s.value[kTrendTheat] = float(ups.status.inverterTemperature);
    s.value[kTrendFreq] = float(ups.status.outputFrequency);
    // The estimate the tray shows, with the service's defaults.
    static const BatterySettings settings;
    static const BatteryModel model;
    const BatteryEstimate e = EstimateBattery(BatteryInputsFrom(ups), settings, model);
    s.value[kTrendCharge] = e.haveCharge ? float(e.charge) : std::nanf("");
    return s;
}

int64_t CTrendWindow::Now() const { return clock_ ? clock_() : QDateTime::currentMSecsSinceEpoch(); }

void CTrendWindow::OnUpsRefresh(const _ZozeUps& ups) {
    const int64_t now = Now();
    if (std::strncmp(ups.stateText, "Timeout", sizeof ups.stateText) == 0) {
        // The record still holds the last readings (or zeros before the first answer): old news.
        if (linked_ && !gapOpen_) {
            AddSample(TrendSample::Gap(now));
            gapOpen_ = true;
            lostSince_ = now;
        }
        return;
    }
    linked_ = true;
    gapOpen_ = false;
    lostSince_ = 0;
    TrendSample sample = SampleOf(ups, now);
    // The battery voltage comes in a reply read every few poll cycles: 0 before the first one.
    if (!voltsSeen_ && ups.auxWordB[2] == 0) {
        sample.value[kTrendVbatt] = std::nanf("");
        sample.value[kTrendCharge] = std::nanf("");
    } else {
        voltsSeen_ = true;
    }
    if (ups.status.currentUnits > 0 && ups.status.currentUnits <= 1000) blocks_ = int(ups.status.currentUnits);
    AddSample(sample);
}

void CTrendWindow::AddSample(const TrendSample& sample) {
    ring_.Add(sample);
    if (!showingLog_) dirty_ = true;
}

void CTrendWindow::OnTick() {
    // During an outage no sample comes, yet the present moves on: so does the axis.
    if (dirty_ || (gapOpen_ && !showingLog_ && following_)) Redraw();
}

void CTrendWindow::SourceRange(int64_t& first, int64_t& last) const {
    first = last = 0;
    if (showingLog_) {
        // A log joined from several may go back in time; the range is its whole extent.
        for (const TrendSample& p : logPoints_) {
            if (first == 0 && last == 0) first = last = p.msecs;
            first = std::min(first, p.msecs);
            last = std::max(last, p.msecs);
        }
    } else if (!ring_.empty()) {
        first = ring_.at(0).msecs;
        last = ring_.newest().msecs;
    }
}

void CTrendWindow::ShowLive() {
    const bool wasLog = showingLog_ || spans_->count() == 0;
    showingLog_ = false;
    following_ = true;
    source_ = QStringLiteral("Live");
    if (wasLog) FillSpans();
    Redraw();
}

void CTrendWindow::FillSpans() {
    const QSignalBlocker quiet(spans_);
    spans_->clear();
    if (!showingLog_) {
        for (const Span& span : kSpans) spans_->addItem(QString::fromLatin1(span.text), qint64(span.msecs));
        spans_->setCurrentIndex(std::max(0, spans_->findData(qint64(span_))));
        return;
    }
    int64_t first = 0, last = 0;
    SourceRange(first, last);
    spans_->addItem(QStringLiteral("Whole log"), qint64(0));
    for (const Span& span : kLogSpans)
        if (span.msecs < last - first) spans_->addItem(QString::fromLatin1(span.text), qint64(span.msecs));
    spans_->setCurrentIndex(0);
}

void CTrendWindow::OnSpanChosen() {
    const int64_t span = spans_->currentData().toLongLong();
    if (!showingLog_) {
        span_ = span;
        ShowLive();
        return;
    }
    int64_t first = 0, last = 0;
    SourceRange(first, last);
    if (span <= 0) {
        ResetZoom();
        return;
    }
    // The chosen width, ending where the view ends now (within the log).
    to_ = std::clamp(to_, first + span, last);
    from_ = to_ - span;
    Redraw();
}

void CTrendWindow::ResetZoom() {
    if (showingLog_) {
        SourceRange(from_, to_);
        Redraw();
    } else {
        ShowLive();
    }
}

void CTrendWindow::Zoom(double factor, int64_t anchor) {
    if (!(factor > 0) || to_ <= from_) return;
    int64_t first = 0, last = 0;
    SourceRange(first, last);
    const double width = std::max(double(kMinSpan), double(to_ - from_) * factor);
    const double share = std::clamp(double(anchor - from_) / double(to_ - from_), 0.0, 1.0);
    int64_t from = anchor - int64_t(width * share);
    int64_t to = from + int64_t(width);
    // Zooming out stops at the data the source holds (or the live span, if wider).
    const int64_t lo = std::min(first, last - span_);
    if (to - from > last - lo) {
        from = lo;
        to = last;
    }
    from_ = from;
    to_ = to;
    following_ = false;
    Redraw();
}

bool CTrendWindow::eventFilter(QObject* watched, QEvent* event) {
    if (chartView_ && watched == chartView_->viewport() && event->type() == QEvent::Wheel) {
        const auto* wheel = static_cast<QWheelEvent*>(event);
        const int steps = wheel->angleDelta().y();
        if (steps != 0) {
            const QPointF at = chart_->mapToValue(chartView_->mapToScene(wheel->position().toPoint()));
            const double factor = std::pow(0.8, steps / 120.0);
            Zoom(factor, int64_t(at.x()));
        }
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void CTrendWindow::ForEachShown(const std::function<void(const TrendSample&, const TrendSpread*)>& f) const {
    if (showingLog_) {
        const bool spread = logFolded_ && logSpread_.size() == logPoints_.size();
        for (size_t i = 0; i < logPoints_.size(); ++i) {
            const TrendSample& p = logPoints_[i];
            if (p.msecs >= from_ && p.msecs <= to_) f(p, spread && logSpread_[i].rows > 1 ? &logSpread_[i] : nullptr);
        }
        return;
    }
    // Ring times rise (a clock set back may break that; then the scan just takes in more).
    size_t begin = 0, end = ring_.size();
    size_t lo = 0, hi = end;
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (ring_.at(mid).msecs < from_) lo = mid + 1; else hi = mid;
    }
    begin = lo;
    for (size_t i = begin; i < end; ++i) {
        const TrendSample& p = ring_.at(i);
        if (p.msecs > to_) break;
        f(p, nullptr);
    }
}

void CTrendWindow::Redraw() {
    dirty_ = false;
    if (!showingLog_ && following_) {
        to_ = ring_.empty() || gapOpen_ ? Now() : ring_.newest().msecs;
        from_ = to_ - span_;
    }
    status_->setText(statusText());
    if (!chart_) return;
    // Count first, then fold runs so at most kShownPoints remain per series. A folded point is
    // drawn as its average, with the lowest and highest sample of its run as a band behind it.
    size_t count = 0;
    bool spread = false;
    ForEachShown([&](const TrendSample&, const TrendSpread* r) {
        ++count;
        spread = spread || r;
    });
    const size_t run = std::max<size_t>(1, (count + kShownPoints - 1) / kShownPoints);
    const bool banded = run > 1 || spread;

    // Each gap ends a piece of every line; pieces hold their points relative to from_ first.
    struct Points {
        QList<QPointF> line, lo, hi;
    };
    std::vector<Points> pieces[kTrendSeriesCount];
    for (auto& p : pieces) p.emplace_back();
    double sum[kTrendSeriesCount] = {};
    float lo[kTrendSeriesCount], hi[kTrendSeriesCount];
    int n[kTrendSeriesCount] = {};
    double timeSum = 0;
    size_t inRun = 0;
    double low[kUnitCount], high[kUnitCount];
    for (int u = 0; u < kUnitCount; ++u) {
        low[u] = std::numeric_limits<double>::infinity();
        high[u] = -low[u];
    }
    auto flush = [&] {
        if (!inRun) return;
        const double t = timeSum / double(inRun);
        for (int s = 0; s < kTrendSeriesCount; ++s) {
            if (n[s]) {
                const double v = sum[s] / n[s];
                Points& piece = pieces[s].back();
                piece.line.append(QPointF(t, v));
                const int u = kUnitOf[s];
                if (banded) {
                    piece.lo.append(QPointF(t, lo[s]));
                    piece.hi.append(QPointF(t, hi[s]));
                    low[u] = std::min(low[u], double(lo[s]));
                    high[u] = std::max(high[u], double(hi[s]));
                } else {
                    low[u] = std::min(low[u], v);
                    high[u] = std::max(high[u], v);
                }
            }
            sum[s] = 0;
            n[s] = 0;
        }
        timeSum = 0;
        inRun = 0;
    };
    // Outages as [start, end] pairs: from a gap marker to the next sample (or to now).
    QList<QPointF> outageTop, outageBottom;
    int64_t outageFrom = -1;
    auto outage = [&](int64_t a, int64_t b) {
        for (const double x : {double(a), double(b)}) {
            outageBottom << QPointF(x, 0) << QPointF(x, 0);
        }
        outageTop << QPointF(double(a), 0) << QPointF(double(a), 1) << QPointF(double(b), 1) << QPointF(double(b), 0);
    };
    ForEachShown([&](const TrendSample& p, const TrendSpread* r) {
        if (!p.IsGap() && outageFrom >= 0) {
            outage(outageFrom, p.msecs);
            outageFrom = -1;
        }
        if (p.IsGap()) {
            if (outageFrom < 0) outageFrom = p.msecs;
            // A run never averages across an outage.
            flush();
            for (auto& piece : pieces)
                if (!piece.back().line.isEmpty()) piece.emplace_back();
            return;
        }
        // Relative to the range start keeps the sum exact in a double.
        timeSum += double(p.msecs - from_);
        for (int s = 0; s < kTrendSeriesCount; ++s) {
            const float v = p.value[s];
            if (!std::isfinite(v)) continue;
            const float a = r ? r->lo[s] : v, b = r ? r->hi[s] : v;
            lo[s] = n[s] ? std::min(lo[s], a) : a;
            hi[s] = n[s] ? std::max(hi[s], b) : b;
            sum[s] += v;
            ++n[s];
        }
        if (++inRun == run) flush();
    });
    flush();
    if (outageFrom >= 0 && !showingLog_ && gapOpen_) outage(outageFrom, std::max(outageFrom, to_));
    outageTop_->replace(outageTop);
    outageBottom_->replace(outageBottom);
    const double from = double(from_);
    auto shift = [from](QList<QPointF>& points) {
        for (QPointF& p : points) p.setX(p.x() + from);
    };
    for (int s = 0; s < kTrendSeriesCount; ++s) {
        bool any = false;
        for (size_t i = 0; i < pieces[s].size(); ++i) {
            Points& points = pieces[s][i];
            shift(points.line);
            shift(points.lo);
            shift(points.hi);
            any = any || !points.line.isEmpty();
            Piece& piece = PieceOf(s, i);
            piece.line->replace(points.line);
            piece.lower->replace(points.lo);
            piece.upper->replace(points.hi);
        }
        for (size_t i = pieces[s].size(); i < pieces_[s].size(); ++i) {
            Piece& piece = pieces_[s][i];
            if (piece.line->count()) piece.line->clear();
            if (piece.upper->count()) {
                piece.upper->clear();
                piece.lower->clear();
            }
        }
        // A quantity the source does not have (the log has no heat sink) leaves the legend.
        shown_[s] = any;
    }

    QStringList legend;
    for (int s = 0; s < kTrendSeriesCount; ++s)
        if (shown_[s])
            legend << QStringLiteral("<span style=\"color:%1\">&#9632;</span>&nbsp;%2")
                          .arg(kColours[s].name(), QString::fromUtf8(kSeriesNames[s]).toHtmlEscaped());
    legend_->setText(legend.join(QStringLiteral("&nbsp;&nbsp;&nbsp; ")));
    for (const QString& label : axisX_->categoriesLabels()) axisX_->remove(label);
    axisX_->setRange(double(from_), double(to_));
    axisX_->setStartValue(double(from_));
    for (const TimeTick& tick : RoundTimeTicks(from_, to_)) axisX_->append(tick.label, double(tick.msecs));
    bool anyData = false;
    for (int u = 0; u < kUnitCount; ++u) anyData = anyData || low[u] <= high[u];
    for (int u = 0; u < kUnitCount; ++u) {
        QValueAxis* axis = axes_[u];
        // An axis with nothing on it goes, unless none has anything: then volts stay as a frame.
        axis->setVisible(low[u] <= high[u] || (u == kVolts && !anyData));
        double a = low[u], b = high[u];
        if (a > b) {
            a = 0;
            b = 100;
        }
        if (u == kPercent) {
            // 0 to 100 as a gauge would show it; more only for an overload.
            axis->setRange(std::min(a, 0.0), std::max(b, 100.0));
            axis->setTickCount(6);
            continue;
        }
        const double margin = std::max(u == kVolts ? 0.5 : 2.0, (b - a) * 0.05);
        axis->setRange(std::floor(a - margin), std::ceil(b + margin));
        axis->applyNiceNumbers();
    }
}

std::vector<QLineSeries*> CTrendWindow::pieces(int index) const {
    std::vector<QLineSeries*> used;
    for (const Piece& piece : pieces_[index])
        if (piece.line->count()) used.push_back(piece.line);
    return used;
}

std::vector<QAreaSeries*> CTrendWindow::bands(int index) const {
    std::vector<QAreaSeries*> used;
    for (const Piece& piece : pieces_[index])
        if (piece.upper->count()) used.push_back(piece.band);
    return used;
}

QValueAxis* CTrendWindow::axisOf(int index) const { return axes_[kUnitOf[index]]; }

QString CTrendWindow::statusText() const {
    if (showingLog_)
        return QStringLiteral("%1: %2 rows, %3 skipped").arg(source_).arg(logRows_).arg(logSkipped_);
    // No claim of live samples while none comes.
    if (gapOpen_)
        return QStringLiteral("No data since %1: the unit does not answer (%2 samples kept)")
            .arg(QDateTime::fromMSecsSinceEpoch(lostSince_).toString(QStringLiteral("HH:mm:ss")))
            .arg(ring_.size());
    return QStringLiteral("Live: %1 samples").arg(ring_.size());
}

void CTrendWindow::closeEvent(QCloseEvent* event) {
    if (loader_) CancelLoad();
    QWidget::closeEvent(event);
}
