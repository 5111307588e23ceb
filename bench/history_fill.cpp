// Fills a history file with a year of minutes for one unit, ending now, and folds it as the
// service would: the store a long-running vesperod would have, for timing its history API.
// Usage: history_fill DIR UNIT
#include <QDateTime>

#include <cstdio>

#include "daemon/history/history_store.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: history_fill DIR UNIT\n");
        return 2;
    }
    const qint64 end = QDateTime::currentSecsSinceEpoch() / 60 * 60 - 120;
    const qint64 minutes = 365 * 1440;
    const qint64 start = end - minutes * 60;
    qint64 now = start * 1000;
    history::Store store([&] { return now; }, [](const QString& line) { std::fprintf(stderr, "%s\n", qPrintable(line)); });
    if (!store.Open(QString::fromLocal8Bit(argv[1]))) return 1;
    for (qint64 m = 0; m < minutes; ++m) {
        now = (start + m * 60) * 1000;
        history::Reading r;
        for (int q = 0; q < history::kQuantities; ++q) r[q] = 10.0 + q + double(m % 60);
        store.Record(argv[2], r);
        if (m % 1440 == 1439) store.Flush();
    }
    store.Flush(true);
    now = QDateTime::currentMSecsSinceEpoch();
    while (store.Maintain(1000)) {
    }
    std::printf("history: %lld minutes for %s in %s\n", minutes, argv[2], qPrintable(store.Path()));
    store.Close();
    return 0;
}
