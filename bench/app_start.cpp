// app_start: the monitor started as vespero starts it, timed from the moment the process was
// launched to the first panel refresh, and to the first refresh that shows a state the unit
// reported (the caption no longer "Timeout"). Prints both in milliseconds and ends.
// Usage: app_start [LAUNCH_NS]   LAUNCH_NS: CLOCK_REALTIME nanoseconds taken just before the
// launch (the caller's clock, so exec and loading count); without it, the kernel's start time.
#include <QTimer>

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "app/aldera_app.h"
#include "app/aldera_view.h"
#include "app/main_frame.h"
#include "link/ups_link.h"

namespace {

double NowRealMs() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// The process start as CLOCK_REALTIME milliseconds, from /proc (clock-tick resolution).
double KernelStartMs() {
    std::ifstream statFile("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return NowRealMs();
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    unsigned long long startTicks = 0;
    for (int i = 3; i <= 22 && rest >> field; ++i)
        if (i == 22) startTicks = std::stoull(field);
    timespec boot{}, real{};
    clock_gettime(CLOCK_BOOTTIME, &boot);
    clock_gettime(CLOCK_REALTIME, &real);
    const double bootMs = double(boot.tv_sec) * 1e3 + double(boot.tv_nsec) / 1e6;
    const double realMs = double(real.tv_sec) * 1e3 + double(real.tv_nsec) / 1e6;
    return realMs - bootMs + double(startTicks) * 1e3 / double(sysconf(_SC_CLK_TCK));
}

class FirstRefresh : public QObject {
public:
    FirstRefresh(CMainFrame* frame, double launchMs) : frame_(frame), launchMs_(launchMs) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (int(event->type()) == WM_UPS_REFRESH) {
            // Runs once the refresh has been handled.
            QTimer::singleShot(0, this, [this] { AfterRefresh(); });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void AfterRefresh() {
        if (done_) return;  // timers already queued still fire after exit() was asked for
        const double ms = NowRealMs() - launchMs_;
        ++seen_;
        if (firstMs_ < 0) firstMs_ = ms;
        const QString caption = frame_->windowTitle();
        if (caption != QLatin1String("Timeout") && caption != QLatin1String("Monitor - Vespero")) {
            std::printf("first refresh %.1f ms\nfirst unit state %.1f ms (refresh %d, \"%s\")\n", firstMs_,
                        ms, seen_, qPrintable(caption));
            std::fflush(stdout);
            done_ = true;
            QCoreApplication::exit(0);
        }
    }

    CMainFrame* frame_;
    double launchMs_;
    double firstMs_ = -1;
    int seen_ = 0;
    bool done_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    const double launchMs = argc > 1 ? std::strtod(argv[1], nullptr) / 1e6 : KernelStartMs();
    CAlderaApp app(argc, argv);
    if (!app.InitInstance()) return 1;
    FirstRefresh watcher(app.frame(), launchMs);
    app.view()->installEventFilter(&watcher);
    QTimer::singleShot(30000, &app, [] {
        std::fprintf(stderr, "app_start: no unit state within 30 s\n");
        QCoreApplication::exit(1);
    });
    const int status = app.exec();
    app.ExitInstance();
    return status;
}
