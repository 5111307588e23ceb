// A year of data log read back into the trend window: writes a log.txt of ROWS rows (default
// 10 million, one row per 11 refreshes of a unit polled about 3.6 times a second) into a scratch
// directory, opens it in the trend window as a user would and waits, keeping the window's event
// loop running. Prints the load time, the longest pause of the event loop meanwhile, the rows
// read and skipped, the file size and the peak resident memory of the load.
// Usage: log_load [ROWS]
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "app/trend/trend_window.h"

namespace {

long StatusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + key.size(), nullptr, 10);
    return -1;
}

// Rows as the data log writes them; date and time text are made once per minute.
bool WriteLog(const QString& path, long rows) {
    std::FILE* f = std::fopen(path.toLocal8Bit().constData(), "wb");
    if (!f) return false;
    std::fputs("Date,Time,Frgen,Vbatt,Iout,Pout,PowerPerc,CCBStatus,Tbatt,Ibatt\r\n", f);
    const double secondsPerRow = 365.0 * 24 * 3600 / double(rows);
    std::time_t start = std::time(nullptr) - 365L * 24 * 3600;
    std::time_t minute = -1;
    char stamp[32] = "";
    for (long i = 0; i < rows; ++i) {
        const std::time_t t = start + std::time_t(double(i) * secondsPerRow);
        if (t / 60 != minute) {
            minute = t / 60;
            std::tm local{};
            localtime_r(&t, &local);
            std::strftime(stamp, sizeof stamp, "%d/%m/%Y,%H:%M", &local);
        }
        const int wave = int(i % 600);
        std::fprintf(f, "%s,%.1f,%.1f,%d,%d,%d,%d,%.1f,%.1f\r\n", stamp, 50.0 + (wave % 3) * 0.1,
                     48.0 + wave * 0.01, 10 + wave % 7, 1200 + wave, 20 + wave % 60, 1 + wave % 3,
                     25.0 + (wave % 100) * 0.1, 1.5);
    }
    return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const long rows = argc > 1 ? std::atol(argv[1]) : 10'000'000;
    QTemporaryDir scratch;
    const QString path = scratch.path() + "/log.txt";
    std::fprintf(stderr, "log_load: writing %ld rows...\n", rows);
    if (!WriteLog(path, rows)) {
        std::fprintf(stderr, "log_load: cannot write %s\n", qPrintable(path));
        return 1;
    }
    const double megabytes = double(QFile(path).size()) / (1024.0 * 1024.0);

    CTrendWindow trend;
    trend.show();
    QCoreApplication::processEvents();
    // The peak from here on is the load's own (writing the file went through the page cache,
    // not this process's memory).
    std::FILE* clear = std::fopen("/proc/self/clear_refs", "w");
    if (clear) {
        std::fputs("5", clear);
        std::fclose(clear);
    }
    const long baseKb = StatusKb("VmRSS");

    QElapsedTimer clock;
    QElapsedTimer sinceTick;
    qint64 longestPause = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longestPause = std::max(longestPause, sinceTick.restart());
    });
    clock.start();
    sinceTick.start();
    tick.start(10);
    trend.OpenLog(path);
    while (trend.loading()) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    tick.stop();

    const long peakKb = StatusKb("VmHWM");
    std::printf("log load: %.2f s for %.0f MB, longest event-loop pause %lld ms, peak RSS %.1f MB "
                "(%.1f MB before), %s\n",
                seconds, megabytes, static_cast<long long>(longestPause), peakKb / 1024.0,
                baseKb / 1024.0, qPrintable(trend.statusText()));
    return 0;
}
