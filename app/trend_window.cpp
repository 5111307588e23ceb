#include "app/trend_window.h"

#include <QBoxLayout>
#include <QCloseEvent>
#include <QHideEvent>
#include <QShowEvent>
#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QWheelEvent>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QLegend>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "widgets/message_box.h"

namespace {
const char* const kSeriesNames[kTrendSeriesCount] = {"V Batt [V]", "P out [%]", "T Batt [C]",
                                                     "THeat [C]", "Fr [Hz]"};
const char* const kCsvColumns = "Time,Vbatt,PowerPerc,Tbatt,Theat,Freq";
constexpr int64_t kMinSpan = 60 * 1000;  // zooming in stops at one minute across

struct Span {
    const char* text;
    int64_t msecs;
};
const Span kSpans[] = {{"10 min", 10 * 60 * 1000LL},
                       {"1 h", 60 * 60 * 1000LL},
                       {"6 h", 6 * 60 * 60 * 1000LL},
                       {"24 h", 24 * 60 * 60 * 1000LL}};
}  // namespace

// A log being read on its own thread; the window polls its progress.
struct CTrendWindow::Load {
    LogLoadProgress progress;
    LogLoadResult result;
    QString path;
    QThread* thread = nullptr;
};

CTrendWindow::CTrendWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setWindowTitle(QStringLiteral("Trend - Vespero"));
    setObjectName(QStringLiteral("trendWindow"));

    auto* live = new QPushButton(QStringLiteral("Live"));
    auto* spans = new QComboBox;
    for (const Span& span : kSpans) spans->addItem(QString::fromLatin1(span.text), qint64(span.msecs));
    spans->setCurrentIndex(1);
    auto* open = new QPushButton(QStringLiteral("Open log..."));
    auto* reset = new QPushButton(QStringLiteral("Reset zoom"));
    auto* png = new QPushButton(QStringLiteral("Export PNG..."));
    auto* csv = new QPushButton(QStringLiteral("Export CSV..."));
    open->setObjectName(QStringLiteral("openLog"));
    png->setObjectName(QStringLiteral("exportPng"));
    csv->setObjectName(QStringLiteral("exportCsv"));
    connect(live, &QPushButton::clicked, this, &CTrendWindow::ShowLive);
    connect(spans, &QComboBox::currentIndexChanged, this, [this, spans](int) {
        span_ = spans->currentData().toLongLong();
        if (!showingLog_) ShowLive();
    });
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
    chart_->legend()->setAlignment(Qt::AlignBottom);
    axisX_ = new QDateTimeAxis;
    axisY_ = new QValueAxis;
    axisY_->setLabelFormat(QStringLiteral("%.0f"));
    chart_->addAxis(axisX_, Qt::AlignBottom);
    chart_->addAxis(axisY_, Qt::AlignLeft);
    const QColor colours[kTrendSeriesCount] = {QColor(0, 90, 200), QColor(120, 60, 170),
                                               QColor(220, 120, 0), QColor(200, 0, 0),
                                               QColor(0, 150, 70)};
    for (int s = 0; s < kTrendSeriesCount; ++s) {
        series_[s] = new QLineSeries;
        series_[s]->setName(QString::fromLatin1(kSeriesNames[s]));
        series_[s]->setColor(colours[s]);
        series_[s]->setUseOpenGL(false);
        chart_->addSeries(series_[s]);
        series_[s]->attachAxis(axisX_);
        series_[s]->attachAxis(axisY_);
    }
    chartView_ = new QChartView(chart_);
    chartView_->setRenderHint(QPainter::Antialiasing);
    chartView_->setObjectName(QStringLiteral("trendChart"));
    chartView_->viewport()->installEventFilter(this);

    delete layout_->takeAt(1);
    layout_->insertWidget(1, chartView_, 1);
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
    return s;
}

void CTrendWindow::OnUpsRefresh(const _ZozeUps& ups) {
    const int64_t now = clock_ ? clock_() : QDateTime::currentMSecsSinceEpoch();
    if (std::strncmp(ups.stateText, "Timeout", sizeof ups.stateText) == 0) {
        // The record still holds the last readings (or zeros before the first answer): old news.
        if (linked_ && !gapOpen_) {
            AddSample(TrendSample::Gap(now));
            gapOpen_ = true;
        }
        return;
    }
    linked_ = true;
    gapOpen_ = false;
    TrendSample sample = SampleOf(ups, now);
    // The battery voltage comes in a reply read every few poll cycles: 0 before the first one.
    if (!voltsSeen_ && ups.auxWordB[2] == 0)
        sample.value[kTrendVbatt] = std::nanf("");
    else
        voltsSeen_ = true;
    AddSample(sample);
}

void CTrendWindow::AddSample(const TrendSample& sample) {
    ring_.Add(sample);
    if (!showingLog_) dirty_ = true;
}

void CTrendWindow::OnTick() {
    if (dirty_) Redraw();
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
    showingLog_ = false;
    following_ = true;
    source_ = QStringLiteral("Live");
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

void CTrendWindow::ForEachShown(const std::function<void(const TrendSample&)>& f) const {
    if (showingLog_) {
        for (const TrendSample& p : logPoints_)
            if (p.msecs >= from_ && p.msecs <= to_) f(p);
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
        f(p);
    }
}

void CTrendWindow::Redraw() {
    dirty_ = false;
    if (!showingLog_ && following_) {
        to_ = ring_.empty() ? (clock_ ? clock_() : QDateTime::currentMSecsSinceEpoch())
                            : ring_.newest().msecs;
        from_ = to_ - span_;
    }
    status_->setText(statusText());
    if (!chart_) return;
    // Count first, then average runs so at most kShownPoints remain per series.
    size_t count = 0;
    ForEachShown([&](const TrendSample&) { ++count; });
    const size_t run = std::max<size_t>(1, (count + kShownPoints - 1) / kShownPoints);

    // Each gap ends a piece of every line; pieces hold their points relative to from_ first.
    std::vector<QList<QPointF>> pieces[kTrendSeriesCount];
    for (auto& p : pieces) p.emplace_back();
    double sum[kTrendSeriesCount] = {};
    int n[kTrendSeriesCount] = {};
    double timeSum = 0;
    size_t inRun = 0;
    double low = std::numeric_limits<double>::infinity(), high = -low;
    auto flush = [&] {
        if (!inRun) return;
        const double t = timeSum / double(inRun);
        for (int s = 0; s < kTrendSeriesCount; ++s) {
            if (n[s]) {
                const double v = sum[s] / n[s];
                pieces[s].back().append(QPointF(t, v));
                low = std::min(low, v);
                high = std::max(high, v);
            }
            sum[s] = 0;
            n[s] = 0;
        }
        timeSum = 0;
        inRun = 0;
    };
    ForEachShown([&](const TrendSample& p) {
        if (p.IsGap()) {
            // A run never averages across an outage.
            flush();
            for (auto& piece : pieces)
                if (!piece.back().isEmpty()) piece.emplace_back();
            return;
        }
        // Relative to the range start keeps the sum exact in a double.
        timeSum += double(p.msecs - from_);
        for (int s = 0; s < kTrendSeriesCount; ++s) {
            if (!std::isfinite(p.value[s])) continue;
            sum[s] += p.value[s];
            ++n[s];
        }
        if (++inRun == run) flush();
    });
    flush();
    for (int s = 0; s < kTrendSeriesCount; ++s) {
        bool any = false;
        for (size_t i = 0; i < pieces[s].size(); ++i) {
            for (QPointF& p : pieces[s][i]) p.setX(p.x() + double(from_));
            any = any || !pieces[s][i].isEmpty();
            if (i == 0) {
                series_[s]->replace(pieces[s][0]);
                continue;
            }
            if (morePieces_[s].size() < i) {
                auto* piece = new QLineSeries;
                piece->setName(series_[s]->name());
                piece->setPen(series_[s]->pen());
                piece->setUseOpenGL(false);
                chart_->addSeries(piece);
                piece->attachAxis(axisX_);
                piece->attachAxis(axisY_);
                for (QLegendMarker* marker : chart_->legend()->markers(piece)) marker->setVisible(false);
                morePieces_[s].push_back(piece);
            }
            morePieces_[s][i - 1]->replace(pieces[s][i]);
        }
        for (size_t i = pieces[s].size(); i <= morePieces_[s].size(); ++i)
            if (morePieces_[s][i - 1]->count()) morePieces_[s][i - 1]->clear();
        // A quantity the source does not have (the log has no heat sink) leaves the legend.
        for (QLegendMarker* marker : chart_->legend()->markers(series_[s])) marker->setVisible(any);
    }

    axisX_->setRange(QDateTime::fromMSecsSinceEpoch(from_), QDateTime::fromMSecsSinceEpoch(to_));
    const int64_t width = to_ - from_;
    axisX_->setFormat(width > 2 * 24 * 3600 * 1000LL ? QStringLiteral("dd/MM HH:mm")
                                                     : QStringLiteral("HH:mm"));
    if (low > high) {
        low = 0;
        high = 100;
    }
    const double margin = std::max(1.0, (high - low) * 0.05);
    axisY_->setRange(std::floor(low - margin), std::ceil(high + margin));
    axisY_->applyNiceNumbers();
}

std::vector<QLineSeries*> CTrendWindow::pieces(int index) const {
    std::vector<QLineSeries*> used;
    if (!series_[index]) return used;
    if (series_[index]->count()) used.push_back(series_[index]);
    for (QLineSeries* piece : morePieces_[index])
        if (piece->count()) used.push_back(piece);
    return used;
}

QString CTrendWindow::statusText() const {
    if (showingLog_)
        return QStringLiteral("%1: %2 rows, %3 skipped").arg(source_).arg(logRows_).arg(logSkipped_);
    return QStringLiteral("Live: %1 samples").arg(ring_.size());
}

void CTrendWindow::OnOpenLog() {
    const QString path = ChooseFileToOpen(this, QStringLiteral("Data log (*.txt);;All Files (*)"),
                                          QStringLiteral("txt"));
    if (!path.isEmpty()) OpenLog(path);
}

void CTrendWindow::OpenLog(const QString& path) {
    if (loader_) CancelLoad();
    loader_ = std::make_unique<Load>();
    loader_->path = path;
    Load* load = loader_.get();
    load->thread = QThread::create([load] {
        load->result = LoadDataLogFile(load->path, kLogPoints, &load->progress);
    });
    // A load cancelled and replaced may still report its end: only the current one counts.
    connect(load->thread, &QThread::finished, this, [this, load] {
        if (loader_.get() == load) LoadFinished();
    });
    progress_->setValue(0);
    progress_->setVisible(true);
    cancel_->setVisible(true);
    status_->setText(QStringLiteral("Reading %1...").arg(QFileInfo(path).fileName()));
    load->thread->start(QThread::LowPriority);
    // The bar follows the bytes read; the window stays responsive meanwhile.
    auto* poll = new QTimer(load->thread);
    connect(poll, &QTimer::timeout, this, [this, load] {
        if (loader_.get() != load) return;
        const int64_t total = load->progress.total;
        if (total > 0) progress_->setValue(int(load->progress.done * 1000 / total));
    });
    poll->start(100);
}

void CTrendWindow::CancelLoad() {
    if (!loader_) return;
    loader_->progress.cancel = true;
    loader_->thread->wait();
    LoadFinished();
}

void CTrendWindow::LoadFinished() {
    if (!loader_) return;
    std::unique_ptr<Load> load = std::move(loader_);
    load->thread->wait();
    delete load->thread;  // its poll timer goes with it
    progress_->setVisible(false);
    cancel_->setVisible(false);
    LogLoadResult& r = load->result;
    if (r.cancelled) {
        status_->setText(QStringLiteral("Reading cancelled"));
        return;
    }
    if (!r.error.isEmpty()) {
        status_->setText(QString());
        ShowMessageBox(this, r.error, QStringLiteral("Trend"), BoxIcon::Stop);
        return;
    }
    logPoints_ = std::move(r.points);
    logRows_ = r.rows;
    logSkipped_ = r.skipped;
    showingLog_ = true;
    following_ = false;
    source_ = QFileInfo(load->path).fileName();
    SourceRange(from_, to_);
    if (to_ <= from_) to_ = from_ + kMinSpan;
    Redraw();
}

void CTrendWindow::closeEvent(QCloseEvent* event) {
    if (loader_) CancelLoad();
    QWidget::closeEvent(event);
}

void CTrendWindow::OnExportPng() {
    const QString path = ChooseFileToSave(this, QStringLiteral("PNG image (*.png)"), QStringLiteral("png"));
    if (!path.isEmpty() && !ExportPng(path))
        ShowMessageBox(this, QStringLiteral("Cannot write %1").arg(path), QStringLiteral("Trend"),
                       BoxIcon::Stop);
}

void CTrendWindow::OnExportCsv() {
    const QString path = ChooseFileToSave(this, QStringLiteral("CSV file (*.csv)"), QStringLiteral("csv"));
    if (path.isEmpty()) return;
    if (!ExportCsv(path))
        ShowMessageBox(this, QStringLiteral("Cannot write %1").arg(path), QStringLiteral("Trend"),
                       BoxIcon::Stop);
}

bool CTrendWindow::ExportPng(const QString& path) {
    if (!chart_) {
        EnsureChart();
        dirty_ = true;
    }
    if (dirty_) Redraw();
    return chartView_->grab().save(path, "PNG");
}

bool CTrendWindow::ExportCsv(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    QByteArray out(kCsvColumns);
    out.append("\r\n");
    bool ok = true;
    // Every sample of the shown range, not only the points drawn; local time as in the log.
    ForEachShown([&](const TrendSample& p) {
        if (p.IsGap()) return;
        out.append(QDateTime::fromMSecsSinceEpoch(p.msecs).toString(QStringLiteral("dd/MM/yyyy HH:mm:ss")).toLatin1());
        for (int s = 0; s < kTrendSeriesCount; ++s) {
            out.append(',');
            if (std::isfinite(p.value[s])) out.append(QByteArray::number(p.value[s], 'f', 1));
        }
        out.append("\r\n");
        if (out.size() > (1 << 20)) {
            ok = ok && file.write(out) == out.size();
            out.clear();
        }
    });
    ok = ok && file.write(out) == out.size();
    file.close();
    return ok && file.error() == QFileDevice::NoError;
}
