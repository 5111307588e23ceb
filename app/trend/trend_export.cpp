#include "app/trend/trend_window.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QGraphicsLayout>
#include <QPainter>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <cmath>

#include "app/trend/trend_series.h"
#include "widgets/message_box.h"

void CTrendWindow::OnExportPng() {
    const QString path = ChooseFileToSave(this, QStringLiteral("PNG image (*.png)"), QStringLiteral("png"));
    if (!path.isEmpty() && !ExportPng(path))
        ShowMessageBox(this, QStringLiteral("Cannot write %1").arg(path), QStringLiteral("Trend"),
                       BoxIcon::Stop);
}

void CTrendWindow::OnExportCsv() {
    const QString path = ChooseFileToSave(this, QStringLiteral("CSV file (*.csv)"), QStringLiteral("csv"));
    if (path.isEmpty()) return;
    if (!ExportCsv(path))
        ShowMessageBox(this, QStringLiteral("Cannot write %1").arg(path), QStringLiteral("Trend"),
                       BoxIcon::Stop);
}

QImage CTrendWindow::Picture() {
    if (!chart_) {
        EnsureChart();
        dirty_ = true;
    }
    if (dirty_) Redraw();
    // The chart lays out its axes and legend on posted requests: settle them before the grab.
    QCoreApplication::sendPostedEvents();
    chart_->layout()->activate();
    const QPixmap chart = chartView_->grab();
    // A picture passed on alone must still say what it shows: what, in which units, and when.
    QFont titleFont = font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.3);
    titleFont.setBold(true);
    const QFontMetrics titleMetrics(titleFont), metrics(font());
    const int pad = metrics.height() / 2;
    const int band = pad * 2 + titleMetrics.height() + 2 * metrics.height();
    QImage image(chart.width(), chart.height() + band, QImage::Format_RGB32);
    image.setDevicePixelRatio(chart.devicePixelRatio());
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.drawPixmap(0, band, chart);
    std::vector<int> quantities;
    for (int s = 0; s < kTrendSeriesCount; ++s)
        if (!pieces(s).empty()) quantities.push_back(s);
    const QString stamp = QStringLiteral("dd/MM/yyyy HH:mm");
    QString when = QStringLiteral("%1 to %2")
                       .arg(QDateTime::fromMSecsSinceEpoch(from_).toString(stamp),
                            QDateTime::fromMSecsSinceEpoch(to_).toString(stamp));
    if (!bands(kTrendVbatt).empty() || !bands(kTrendLoad).empty())
        when += QStringLiteral("; lines are averages, shaded bands the lowest and highest samples");
    const int width = chart.width() - 2 * pad;
    painter.setPen(Qt::black);
    painter.setFont(titleFont);
    int y = pad;
    painter.drawText(QRect(pad, y, width, titleMetrics.height()), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("Vespero trend: %1").arg(source_));
    y += titleMetrics.height();
    painter.setFont(font());
    // The legend: each quantity after a square in its colour.
    if (quantities.empty())
        painter.drawText(QRect(pad, y, width, metrics.height()), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("No data"));
    int x = pad;
    const int square = metrics.ascent() * 3 / 4;
    for (int s : quantities) {
        const QString name = QString::fromUtf8(kSeriesNames[s]);
        painter.fillRect(QRect(x, y + (metrics.height() - square) / 2, square, square), kColours[s]);
        x += square + metrics.horizontalAdvance(QLatin1Char(' '));
        painter.drawText(QRect(x, y, width, metrics.height()), Qt::AlignLeft | Qt::AlignVCenter, name);
        x += metrics.horizontalAdvance(name) + 2 * metrics.horizontalAdvance(QLatin1Char(' ')) + pad;
    }
    y += metrics.height();
    painter.drawText(QRect(pad, y, width, metrics.height()), Qt::AlignLeft | Qt::AlignVCenter, when);
    painter.end();
    return image;
}

bool CTrendWindow::ExportPng(const QString& path) { return Picture().save(path, "PNG"); }

bool CTrendWindow::ExportCsv(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    // A folded log's rows are averages: say so, count what each took in and give its range.
    const bool folded = showingLog_ && logFolded_;
    QByteArray out;
    if (folded) {
        out.append(QStringLiteral("# Each row is the average of the log rows in its time span (column Rows, of %1 "
                                  "rows read); the min and max columns give their lowest and highest values\r\n")
                       .arg(logRows_)
                       .toLatin1());
        out.append("Time,Rows");
        for (const char* name : kCsvNames) out.append(',').append(name).append(',').append(name).append(" min,").append(name).append(" max");
    } else {
        out.append("Time");
        for (const char* name : kCsvNames) out.append(',').append(name);
    }
    out.append("\r\n");
    bool ok = true;
    // Every sample of the shown range, not only the points drawn; local time as in the log.
    auto number = [&out](float v) {
        if (std::isfinite(v)) out.append(QByteArray::number(v, 'f', 1));
    };
    ForEachShown([&](const TrendSample& p, const TrendSpread* r) {
        if (p.IsGap()) return;
        out.append(QDateTime::fromMSecsSinceEpoch(p.msecs).toString(QStringLiteral("dd/MM/yyyy HH:mm:ss")).toLatin1());
        if (folded) out.append(',').append(QByteArray::number(qint64(r ? r->rows : 1)));
        for (int s = 0; s < kTrendSeriesCount; ++s) {
            out.append(',');
            number(p.value[s]);
            if (!folded) continue;
            out.append(',');
            number(r ? r->lo[s] : p.value[s]);
            out.append(',');
            number(r ? r->hi[s] : p.value[s]);
        }
        out.append("\r\n");
        if (out.size() > (1 << 20)) {
            ok = ok && file.write(out) == out.size();
            out.clear();
        }
    });
    ok = ok && file.write(out) == out.size();
    file.close();
    return ok && file.error() == QFileDevice::NoError;
}
