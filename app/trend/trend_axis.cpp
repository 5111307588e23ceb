#include "app/trend/trend_axis.h"

#include <QDateTime>

namespace {
constexpr int64_t kHour = 60 * 60 * 1000LL;
}  // namespace

QString TimeFormat(int64_t from, int64_t to) {
    const QDateTime a = QDateTime::fromMSecsSinceEpoch(from), b = QDateTime::fromMSecsSinceEpoch(to);
    const int64_t width = to - from;
    if (a.date().year() != b.date().year())
        return width > 60 * 24 * kHour ? QStringLiteral("dd/MM/yyyy") : QStringLiteral("dd/MM/yyyy HH:mm");
    if (width > 2 * 24 * kHour) return QStringLiteral("dd/MM HH:mm");
    if (a.date() != b.date()) return QStringLiteral("dd/MM HH:mm");
    return QStringLiteral("HH:mm");
}
