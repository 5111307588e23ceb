// The window's own costs: one panel refresh (with the ten gauges repainted offscreen) and one
// gauge paint.
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <cstring>

#include "app/aldera_view.h"
#include "app/main_frame.h"
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

void BM_PanelRefresh(benchmark::State& state) {
    SetMessageBoxAnswerer([](const ShownBox&) {});
    CMainFrame frame;
    auto* view = new CAlderaView(&frame);
    frame.setCentralWidget(view);
    view->OnInitialUpdate();
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
BENCHMARK(BM_PanelRefresh)->Unit(benchmark::kMicrosecond);

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
