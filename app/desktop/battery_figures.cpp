#include "app/desktop/battery_figures.h"

#include <QStringList>
#include <cmath>

#include "link/battery_estimate.h"

namespace {

// The service's estimate with its defaults; what a service learns about an ageing battery stays
// with the service.
const BatterySettings kSettings;

BatteryEstimate Estimate(const _ZozeUps& ups) {
    static const BatteryModel model;
    return EstimateBattery(BatteryInputsFrom(ups), kSettings, model);
}

}  // namespace

bool BatteryLowOf(const _ZozeUps& ups) {
    const BatteryEstimate e = Estimate(ups);
    return BatteryIsLow(ups, kSettings, &e);
}

BatteryFigures BatteryFiguresOf(const _ZozeUps& ups, bool voltsSeen) {
    BatteryFigures f;
    if (voltsSeen || ups.auxWordB[2] != 0) f.volts = ups.auxWordB[2] / 10.0;
    const BatteryEstimate e = Estimate(ups);
    if (e.haveCharge) f.chargePercent = e.charge;
    if (e.haveRuntime) f.runtimeSecs = e.runtime;
    return f;
}

QString RuntimeText(double secs) {
    if (!std::isfinite(secs) || secs < 0) return {};
    const long long s = std::llround(secs);
    if (s < 60) return QStringLiteral("%1 s").arg(s);
    const long long minutes = s / 60;
    if (minutes < 60) return QStringLiteral("%1 min").arg(minutes);
    return QStringLiteral("%1 h %2 min").arg(minutes / 60).arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString BatteryLine(const BatteryFigures& f) {
    QStringList parts;
    if (f.chargePercent && std::isfinite(*f.chargePercent))
        parts << QStringLiteral("Charge %1 %").arg(std::lround(*f.chargePercent));
    if (f.runtimeSecs) {
        const QString runtime = RuntimeText(*f.runtimeSecs);
        if (!runtime.isEmpty()) parts << QStringLiteral("runtime %1").arg(runtime);
    }
    if (f.volts) parts << QString::asprintf("V Batt %.1f V", *f.volts);
    return parts.join(QStringLiteral(", "));
}
