#include "app/artwork.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cmath>

namespace {
// A lightning bolt filling box.
QPainterPath Bolt(QRectF box) {
    const auto at = [&](double fx, double fy) {
        return QPointF(box.left() + fx * box.width(), box.top() + fy * box.height());
    };
    QPainterPath path;
    path.moveTo(at(0.62, 0.00));
    path.lineTo(at(0.18, 0.56));
    path.lineTo(at(0.47, 0.56));
    path.lineTo(at(0.36, 1.00));
    path.lineTo(at(0.84, 0.40));
    path.lineTo(at(0.54, 0.40));
    path.closeSubpath();
    return path;
}

void PaintBattery(QPainter& p, QRectF body) {
    const QColor rim(220, 230, 240);
    p.setPen(QPen(rim, 3));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(body, 6, 6);
    const QRectF cap(body.right(), body.center().y() - body.height() * 0.18, body.width() * 0.07,
                     body.height() * 0.36);
    p.setPen(Qt::NoPen);
    p.setBrush(rim);
    p.drawRoundedRect(cap, 2, 2);
    // Charge cells: green, green, yellow.
    const QColor cells[] = {QColor(0, 200, 80), QColor(0, 200, 80), QColor(230, 210, 0)};
    const double pad = 6;
    const double w = (body.width() - pad * 4) / 3;
    for (int i = 0; i < 3; ++i) {
        p.setBrush(cells[i]);
        p.drawRoundedRect(QRectF(body.left() + pad + i * (w + pad), body.top() + pad, w,
                                 body.height() - 2 * pad),
                          3, 3);
    }
    p.setBrush(QColor(255, 255, 255, 235));
    p.drawPath(Bolt(body.adjusted(body.width() * 0.3, 4, -body.width() * 0.3, -4)));
}
}  // namespace

QPixmap PanelPicture(QSize size) {
    QPixmap pix(size);
    const double W = size.width();
    const double H = size.height();
    QPainter p(&pix);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient sky(0, 0, 0, H);
    sky.setColorAt(0, QColor(18, 42, 86));
    sky.setColorAt(1, QColor(6, 16, 36));
    p.fillRect(QRectF(0, 0, W, H), sky);

    QRadialGradient glow(QPointF(W * 0.8, H * 0.35), W * 0.45);
    glow.setColorAt(0, QColor(255, 170, 60, 90));
    glow.setColorAt(1, QColor(255, 170, 60, 0));
    p.fillRect(QRectF(0, 0, W, H), glow);

    // The mains wave the unit keeps alive, running across the picture.
    QPainterPath wave;
    for (int x = 0; x <= int(W); ++x) {
        const double y = H * 0.78 + std::sin(x / W * 6 * M_PI) * H * 0.08;
        if (x == 0)
            wave.moveTo(x, y);
        else
            wave.lineTo(x, y);
    }
    p.setPen(QPen(QColor(0, 255, 0, 150), 2));
    p.setBrush(Qt::NoBrush);
    p.drawPath(wave);
    p.setPen(QPen(QColor(255, 255, 255, 40), 1));
    p.drawLine(QPointF(0, H * 0.78), QPointF(W, H * 0.78));

    QFont title(QStringLiteral("DejaVu Sans"));
    title.setBold(true);
    title.setPixelSize(int(H * 0.22));
    title.setLetterSpacing(QFont::PercentageSpacing, 106);
    p.setFont(title);
    p.setPen(QColor(245, 248, 255));
    p.drawText(QRectF(W * 0.05, H * 0.08, W * 0.60, H * 0.36), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("VESPERO"));

    QFont sub(QStringLiteral("DejaVu Sans"));
    sub.setPixelSize(int(H * 0.10));
    p.setFont(sub);
    p.setPen(QColor(255, 190, 90));
    p.drawText(QRectF(W * 0.05, H * 0.44, W * 0.62, H * 0.14), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("UPS Monitor"));

    PaintBattery(p, QRectF(W * 0.68, H * 0.16, W * 0.25, H * 0.34));

    p.setPen(QPen(QColor(255, 255, 255, 70), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(0.5, 0.5, W - 1, H - 1));
    return pix;
}

QIcon AppIcon() {
    QIcon icon;
    for (int side : {16, 32, 48, 64}) {
        QPixmap pix(side, side);
        pix.fill(Qt::transparent);
        QPainter p(&pix);
        p.setRenderHint(QPainter::Antialiasing);
        QLinearGradient g(0, 0, 0, side);
        g.setColorAt(0, QColor(30, 70, 140));
        g.setColorAt(1, QColor(10, 25, 60));
        p.setPen(Qt::NoPen);
        p.setBrush(g);
        p.drawRoundedRect(QRectF(0, 0, side, side), side * 0.18, side * 0.18);
        p.setBrush(QColor(255, 200, 60));
        p.drawPath(Bolt(QRectF(side * 0.2, side * 0.12, side * 0.6, side * 0.76)));
        p.end();
        icon.addPixmap(pix);
    }
    return icon;
}
