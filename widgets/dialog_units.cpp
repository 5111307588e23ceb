#include "widgets/dialog_units.h"

#include <QFontMetricsF>
#include <QVariant>
#include <QWidget>
#include <cmath>

DialogBaseUnits BaseUnitsOf(const QFont& font) {
    const QFontMetricsF metrics(font);
    const double letters =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {letters / 52.0, std::ceil(metrics.height())};
}

QRect DialogUnitsToPixels(const QRect& units, DialogBaseUnits base) {
    auto px = [](int dlu, double unit) { return int(std::lround(dlu * unit)); };
    const double ux = base.x / 4.0;
    const double uy = base.y / 8.0;
    const int left = px(units.x(), ux);
    const int top = px(units.y(), uy);
    const int right = px(units.x() + units.width(), ux);
    const int bottom = px(units.y() + units.height(), uy);
    return QRect(left, top, right - left, bottom - top);
}

bool UsesDialogUnits(const QWidget* form) { return form->property("dialogUnits").toBool(); }

void ApplyDialogUnits(QWidget* form) {
    if (!UsesDialogUnits(form)) return;
    const DialogBaseUnits base = BaseUnitsOf(form->font());
    for (QObject* child : form->children()) {
        auto* widget = qobject_cast<QWidget*>(child);
        if (!widget || widget->isWindow()) continue;
        widget->setGeometry(DialogUnitsToPixels(widget->geometry(), base));
    }
    form->setFixedSize(DialogUnitsToPixels(QRect(QPoint(0, 0), form->size()), base).size());
    // Converted once: a second call must not scale again.
    form->setProperty("dialogUnits", false);
}
