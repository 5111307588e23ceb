#include "app/trend/trend_axis.h"

#include <QDateTime>

namespace {
constexpr int64_t kMinute = 60 * 1000LL, kHour = 60 * kMinute, kDay = 24 * kHour;

// Sub-day steps divide the local day; day, month and year steps count on the calendar.
struct Step {
    enum Kind { Fixed, Days, Months } kind;
    int64_t size;  // msecs (Fixed), days or months
    int64_t approx;
};
const Step kSteps[] = {
    {Step::Fixed, kMinute, kMinute},          {Step::Fixed, 2 * kMinute, 2 * kMinute},
    {Step::Fixed, 5 * kMinute, 5 * kMinute},  {Step::Fixed, 10 * kMinute, 10 * kMinute},
    {Step::Fixed, 15 * kMinute, 15 * kMinute}, {Step::Fixed, 30 * kMinute, 30 * kMinute},
    {Step::Fixed, kHour, kHour},              {Step::Fixed, 2 * kHour, 2 * kHour},
    {Step::Fixed, 3 * kHour, 3 * kHour},      {Step::Fixed, 6 * kHour, 6 * kHour},
    {Step::Fixed, 12 * kHour, 12 * kHour},    {Step::Days, 1, kDay},
    {Step::Days, 2, 2 * kDay},                {Step::Days, 7, 7 * kDay},
    {Step::Days, 14, 14 * kDay},              {Step::Months, 1, 30 * kDay},
    {Step::Months, 3, 91 * kDay},             {Step::Months, 6, 182 * kDay},
    {Step::Months, 12, 365 * kDay},           {Step::Months, 60, 5 * 365 * kDay},
};
}  // namespace

QString TimeFormat(int64_t from, int64_t to) {
    const QDateTime a = QDateTime::fromMSecsSinceEpoch(from), b = QDateTime::fromMSecsSinceEpoch(to);
    const int64_t width = to - from;
    if (a.date().year() != b.date().year())
        return width > 60 * kDay ? QStringLiteral("dd/MM/yyyy") : QStringLiteral("dd/MM/yyyy HH:mm");
    if (width > 2 * kDay) return QStringLiteral("dd/MM HH:mm");
    if (a.date() != b.date()) return QStringLiteral("dd/MM HH:mm");
    return QStringLiteral("HH:mm");
}

std::vector<TimeTick> RoundTimeTicks(int64_t from, int64_t to, int most) {
    std::vector<TimeTick> ticks;
    if (to <= from || most < 1) return ticks;
    const Step* step = &kSteps[std::size(kSteps) - 1];
    for (const Step& s : kSteps) {
        if ((to - from) / s.approx + 1 <= most) {
            step = &s;
            break;
        }
    }
    const QString format = TimeFormat(from, to);
    auto add = [&](const QDateTime& at) {
        const int64_t t = at.toMSecsSinceEpoch();
        if (t < from || t > to) return;
        const QString label = at.toString(format);
        if (!ticks.empty() && ticks.back().label == label) return;
        ticks.push_back({t, label});
    };
    const QDateTime start = QDateTime::fromMSecsSinceEpoch(from);
    if (step->kind == Step::Fixed) {
        // Counted from local midnight, so a 6 h step falls on 00, 06, 12 and 18 o'clock.
        QDate day = start.date();
        while (day.startOfDay().toMSecsSinceEpoch() <= to) {
            const QDateTime midnight = day.startOfDay();
            for (int64_t t = 0; t < kDay; t += step->size) add(midnight.addMSecs(t));
            day = day.addDays(1);
        }
    } else if (step->kind == Step::Days) {
        QDate day = start.date();
        while (day.startOfDay().toMSecsSinceEpoch() <= to) {
            // Week steps on Mondays; two-day and fortnight steps on a fixed count from the epoch.
            const bool on = step->size == 7 ? day.dayOfWeek() == 1 : (day.toJulianDay() % step->size) == 0;
            if (on) add(day.startOfDay());
            day = day.addDays(1);
        }
    } else {
        QDate month(start.date().year(), start.date().month(), 1);
        while (month.startOfDay().toMSecsSinceEpoch() <= to) {
            if (((month.year() * 12 + month.month() - 1) % step->size) == 0) add(month.startOfDay());
            month = month.addMonths(1);
        }
    }
    return ticks;
}
