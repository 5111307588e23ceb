// The history file at its largest: a year of minutes for one unit (as after a service that ran
// with folding stopped), then folding it step by step as the service would, and reading a year
// back. Prints figures; run from scripts or by hand.
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

#include "daemon/history/history_store.h"

int main() {
    QTemporaryDir dir;
    const qint64 start = 1'800'000'000;
    const qint64 minutes = 365 * 1440;
    qint64 now = start * 1000;
    history::Store store([&] { return now; }, [](const QString& line) { std::fprintf(stderr, "%s\n", qPrintable(line)); });
    if (!store.Open(dir.path())) return 1;

    QElapsedTimer t;
    t.start();
    for (qint64 m = 0; m < minutes; ++m) {
        now = (start + m * 60) * 1000;
        history::Reading r;
        for (int q = 0; q < history::kQuantities; ++q) r[q] = 10.0 + q + double(m % 60);
        store.Record("ups", r);
        if (m % 1440 == 1439) store.Flush();
    }
    store.Flush(true);
    std::printf("write %lld minute rows: %.0f ms (%.1f us a row)\n", minutes, double(t.elapsed()),
                double(t.nsecsElapsed()) / 1000.0 / double(minutes));

    now = (start + minutes * 60) * 1000;
    t.restart();
    QElapsedTimer step;
    qint64 worst = 0;
    int calls = 0;
    bool more = true;
    while (more) {
        step.start();
        more = store.Maintain();
        worst = std::max(worst, step.nsecsElapsed());
        ++calls;
    }
    std::printf("fold 335 days of minutes into hours: %.0f ms in %d calls, longest call %.1f ms\n",
                double(t.elapsed()), calls, double(worst) / 1e6);

    for (const qint64 stepSeconds : {qint64(3600), qint64(86400)}) {
        t.restart();
        const auto rows = store.Samples("ups", start, start + minutes * 60, stepSeconds);
        std::printf("read a year at a %lld s step: %zu rows in %.1f ms\n", stepSeconds, rows.size(),
                    double(t.nsecsElapsed()) / 1e6);
    }
    t.restart();
    const auto one = store.Samples("ups", start, start + minutes * 60, 3600, 0);
    std::printf("read a year of one quantity at a 3600 s step: %zu rows in %.1f ms\n", one.size(),
                double(t.nsecsElapsed()) / 1e6);
    t.restart();
    const auto rows = store.Samples("ups", start + minutes * 60 - 86400, start + minutes * 60, 60);
    std::printf("read the last day at a 60 s step: %zu rows in %.1f ms\n", rows.size(), double(t.nsecsElapsed()) / 1e6);
    t.restart();
    for (int i = 0; i < 100; ++i) store.AddEvent("ups", "status", "OL -> OB DISCHRG");
    std::printf("event write (synced): %.2f ms each\n", double(t.nsecsElapsed()) / 1e6 / 100);
    return 0;
}
