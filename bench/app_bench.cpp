// The window's own costs: one panel refresh (with the ten gauges repainted offscreen) and one
// gauge paint.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "app/aldera_view.h"
#include "app/desktop/desktop_extras.h"
#include "app/main_frame.h"
#include "app/trend/trend_ring.h"
#include "app/trend/trend_window.h"
#include <QtCharts/QLineSeries>
#include "link/device_lock.h"
#include "widgets/mac_progress_ctrl.h"
#include "widgets/message_box.h"

namespace {

void FillDevice0(int step) {
    auto lock = LockDevice(0);
    _ZozeUps& u = MainUps[0];
    u.status.powerUnits = 2;
    u.status.currentUnits = 4;
    u.status.outputFrequency = 50.0 + (step & 1);
    u.status.batteryTemperature = 30 + (step % 15);
    u.status.inverterTemperature = 60 + (step % 15);
    u.status.caseTemperature = 68 + (step % 10);
    u.status.internalVoltage1 = 145 + (step % 20);
    u.status.powerPercent = 70 + (step % 40);
    u.auxWord[1] = 150 + (step % 80);
    u.auxWord[6] = 150 + (step % 80);
    u.auxWordB[2] = 420 + (step % 30);
    std::strcpy(u.stateText, "On_Line");
}

// One refresh of the panel per iteration, with new values each time. withTrend: the tray and the
// trend window are installed and the trend window is shown, so each refresh also adds a sample
// (the chart itself is redrawn by its own timer, measured below).
void RefreshLoop(benchmark::State& state, bool withTrend) {
    SetMessageBoxAnswerer([](const ShownBox&) {});
    CMainFrame frame;
    auto* view = new CAlderaView(&frame);
    frame.setCentralWidget(view);
    view->OnInitialUpdate();
    if (withTrend) InstallDesktopExtras(&frame, view).trend->show();
    frame.show();
    QCoreApplication::processEvents();
    int step = 0;
    for (auto _ : state) {
        state.PauseTiming();
        FillDevice0(++step);
        state.ResumeTiming();
        benchmark::DoNotOptimize(view->OnUpsRefresh());
    }
    SetMessageBoxAnswerer(nullptr);
}

void BM_PanelRefresh(benchmark::State& state) { RefreshLoop(state, false); }
BENCHMARK(BM_PanelRefresh)->Unit(benchmark::kMicrosecond);

void BM_PanelRefreshTrendOpen(benchmark::State& state) { RefreshLoop(state, true); }
BENCHMARK(BM_PanelRefreshTrendOpen)->Unit(benchmark::kMicrosecond);

void BM_TrendRingAdd(benchmark::State& state) {
    TrendRing ring(CTrendWindow::kRingCapacity);
    TrendSample sample;
    for (auto _ : state) {
        ++sample.msecs;
        ring.Add(sample);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_TrendRingAdd);

// The trend window's once-a-second redraw with a full ring, the chart shown over its widest
// live span.
void BM_TrendRedrawFullRing(benchmark::State& state) {
    CTrendWindow trend;
    trend.show();
    trend.findChild<QComboBox*>()->setCurrentIndex(3);  // 24 h: every sample of the ring
    int64_t t = 0;
    for (size_t i = 0; i < CTrendWindow::kRingCapacity; ++i) {
        TrendSample s;
        s.msecs = t += 300;
        for (int k = 0; k < kTrendSeriesCount; ++k) s.value[k] = float(40 + (i % 50) * 0.1 + k);
        trend.AddSample(s);
    }
    for (auto _ : state) {
        trend.Redraw();
        trend.repaint();
    }
    // Points drawn per series: proves the chart was there to draw. A label, not a counter: the
    // CSV report wants the same counters in every benchmark.
    const int points = trend.series(kTrendVbatt) ? int(trend.series(kTrendVbatt)->count()) : 0;
    state.SetLabel(std::to_string(points) + " points");
}
BENCHMARK(BM_TrendRedrawFullRing)->Unit(benchmark::kMillisecond);

void BM_GaugeCompose(benchmark::State& state) {
    CMacProgressCtrl gauge;
    gauge.SetColor(QColor(0, 255, 0));
    gauge.SetRange(0, 1110);
    gauge.SetPos(700);
    const QSize size(149, 10);
    for (auto _ : state) benchmark::DoNotOptimize(gauge.ComposeImage(size));
}
BENCHMARK(BM_GaugeCompose)->Unit(benchmark::kMicrosecond);

void BM_GaugeRepaint(benchmark::State& state) {
    CMacProgressCtrl gauge;
    gauge.resize(149, 10);
    gauge.show();
    QCoreApplication::processEvents();
    int pos = 0;
    for (auto _ : state) {
        gauge.SetPos(pos = (pos + 37) % 100);
        gauge.SetColor(pos < 50 ? QColor(0, 255, 0) : QColor(255, 0, 0));  // paints at once
    }
}
BENCHMARK(BM_GaugeRepaint)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // The refresh writes its data log every 1001st time: keep it out of the caller's directory.
    QTemporaryDir scratch;
    QDir::setCurrent(scratch.path());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
