#include "widgets/mac_progress_ctrl.h"

#include <QCoreApplication>
#include <QPaintEvent>
#include <QPointer>
#include <QPainter>
#include <QPalette>
#include <algorithm>
#include <cmath>

namespace {
constexpr int kStep = 51;

int LightenChannel(int c) { return c + kStep <= 255 ? c + kStep : c; }
int DarkenChannel(int c) { return c >= kStep ? c - kStep : c; }

QPen OnePixelPen(QColor c) {
    QPen pen(c);
    pen.setWidth(1);
    pen.setCapStyle(Qt::SquareCap);
    pen.setJoinStyle(Qt::MiterJoin);
    return pen;
}

// A line from P to Q colours P and every pixel up to, but not including, Q. Only horizontal and
// vertical lines are ever drawn; a zero-length line draws nothing.
void Line(QPainter& p, const QPen& pen, QPoint from, QPoint to) {
    if (from == to) return;
    const int dx = (to.x() > from.x()) - (to.x() < from.x());
    const int dy = (to.y() > from.y()) - (to.y() < from.y());
    const QPoint last(to.x() - dx, to.y() - dy);
    p.setPen(pen);
    if (last == from)
        p.drawPoint(from);
    else
        p.drawLine(from, last);
}

// Chain P -> Q -> S: the corner Q belongs to the second segment.
void Chain(QPainter& p, const QPen& pen, std::initializer_list<QPoint> points) {
    const QPoint* prev = nullptr;
    for (const QPoint& pt : points) {
        if (prev) Line(p, pen, *prev, pt);
        prev = &pt;
    }
}

void Pixel(QPainter& p, const QPen& pen, QPoint at) {
    p.setPen(pen);
    p.drawPoint(at);
}
}  // namespace

CMacProgressCtrl::CMacProgressCtrl(QWidget* parent) : QProgressBar(parent) {
    // The paint covers every pixel; nothing needs erasing first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAutoFillBackground(false);
    setTextVisible(false);
    bar_ = palette().color(QPalette::Highlight);
    DeriveColours();
}

CMacProgressCtrl::~CMacProgressCtrl() = default;

QColor CMacProgressCtrl::Lighten(QColor c) {
    return QColor(LightenChannel(c.red()), LightenChannel(c.green()), LightenChannel(c.blue()));
}

QColor CMacProgressCtrl::Darken(QColor c) {
    return QColor(DarkenChannel(c.red()), DarkenChannel(c.green()), DarkenChannel(c.blue()));
}

void CMacProgressCtrl::DeriveColours() {
    light1_ = Lighten(bar_);
    light2_ = Lighten(light1_);
    light3_ = Lighten(light2_);
    dark1_ = Darken(bar_);
    dark2_ = Darken(dark1_);
    const QPalette& pal = palette();
    darkShadow_ = pal.color(QPalette::Shadow);
    buttonShadow_ = pal.color(QPalette::Dark);
    shadowBlend_ = QColor((darkShadow_.red() + buttonShadow_.red()) / 2,
                          (darkShadow_.green() + buttonShadow_.green()) / 2,
                          (darkShadow_.blue() + buttonShadow_.blue()) / 2);
    // The pens follow the colours: made here, once per change, not per paint.
    barPen_ = OnePixelPen(bar_);
    light1Pen_ = OnePixelPen(light1_);
    light2Pen_ = OnePixelPen(light2_);
    dark1Pen_ = OnePixelPen(dark1_);
    dark2Pen_ = OnePixelPen(dark2_);
    blendPen_ = OnePixelPen(shadowBlend_);
    buttonShadowPen_ = OnePixelPen(buttonShadow_);
}

namespace {
int openBatches = 0;
QList<QPointer<CMacProgressCtrl>> owedRepaints;
}  // namespace

CMacProgressCtrl::RepaintBatch::RepaintBatch() { ++openBatches; }

CMacProgressCtrl::RepaintBatch::~RepaintBatch() {
    if (--openBatches > 0) return;
    // Scheduling the gauges and delivering their windows' update requests at once paints them
    // synchronously like repaint(), but only their own rectangles: they are opaque, so nothing
    // behind them is drawn again (repaint() would redraw the whole area from the window down).
    QList<QWidget*> windows;
    for (const QPointer<CMacProgressCtrl>& gauge : std::as_const(owedRepaints)) {
        if (!gauge || !gauge->isVisible()) continue;
        gauge->update();
        if (!windows.contains(gauge->window())) windows.append(gauge->window());
    }
    owedRepaints.clear();
    for (QWidget* window : std::as_const(windows))
        QCoreApplication::sendPostedEvents(window, QEvent::UpdateRequest);
}

void CMacProgressCtrl::SetColor(QColor colour) {
    bar_ = QColor(colour.red(), colour.green(), colour.blue());
    DeriveColours();
    if (openBatches > 0) {
        if (!owedRepaints.contains(this)) owedRepaints.append(this);
        return;
    }
    repaint();
}

void CMacProgressCtrl::SetRange(uint16_t lower, uint16_t upper) {
    lower_ = lower;
    upper_ = upper;
    SetPos(pos_);
}

void CMacProgressCtrl::SetPos(int position) {
    const int lo = std::min(lower_, upper_);
    const int hi = std::max(lower_, upper_);
    pos_ = std::clamp(position, lo, hi);
    update();
}

int CMacProgressCtrl::FilledExtent(int width) const {
    // An empty or inverted range has no meaningful fraction: show nothing filled.
    if (upper_ <= lower_ || width <= 0) return 0;
    const double r = double(pos_ - lower_) * width / double(upper_ - lower_);
    // pos_ lies within the range, so r lies within 0..width; the clamp only guards rounding.
    return std::clamp(static_cast<int>(r), 0, width);
}

QImage CMacProgressCtrl::ComposeImage(QSize size) const {
    QImage image(size, QImage::Format_RGB32);
    if (size.isEmpty()) return image;
    const int w = size.width();
    const int h = size.height();
    const int right = FilledExtent(w);

    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.fillRect(QRect(0, 0, w, h), palette().color(QPalette::Button));
    if (right > 0) {
        p.fillRect(QRect(0, 0, right, h), light3_);
        DrawHorizontalBar(p, 0, 0, right, h);
    }
    return image;
}

void CMacProgressCtrl::DrawHorizontalBar(QPainter& p, int L, int T, int R, int B) const {
    if (R == L) return;
    Line(p, light1Pen_, {L + 2, B - 4}, {R - 2, B - 4});
    Line(p, light1Pen_, {L + 2, T + 2}, {R - 2, T + 2});
    Pixel(p, light1Pen_, {L + 1, B - 3});
    Pixel(p, light1Pen_, {L + 1, T + 1});

    Chain(p, light2Pen_, {{L + 2, B - 5}, {R - 3, B - 5}, {R - 3, T + 3}, {L + 1, T + 3}});
    Pixel(p, light2Pen_, {L + 1, B - 4});
    Pixel(p, light2Pen_, {L + 1, T + 2});

    Chain(p, barPen_, {{L, B - 1}, {L, T}, {L + 2, T}});
    Pixel(p, barPen_, {L + 1, B - 2});
    Line(p, barPen_, {L + 2, B - 3}, {R - 2, B - 3});
    Line(p, barPen_, {L + 2, T + 1}, {R - 1, T + 1});

    Chain(p, dark1Pen_, {{L + 2, B - 2}, {R - 2, B - 2}, {R - 2, T + 1}});
    Line(p, dark1Pen_, {L + 2, T}, {R, T});
    Pixel(p, dark1Pen_, {L + 1, B - 1});

    Chain(p, dark2Pen_, {{L + 2, B - 1}, {R - 1, B - 1}, {R - 1, T}});

    Line(p, blendPen_, {R, T}, {R, B});
    Line(p, buttonShadowPen_, {R + 1, T}, {R + 1, B});
}

void CMacProgressCtrl::SetBorder(bool on) {
    border_ = on;
    update();
}

QRect CMacProgressCtrl::ClientRect() const {
    return border_ ? rect().adjusted(1, 1, -1, -1) : rect();
}

void CMacProgressCtrl::paintEvent(QPaintEvent*) {
    const QRect client = ClientRect();
    const QImage image = ComposeImage(client.size());
    QPainter p(this);
    if (border_) {
        p.setPen(palette().color(QPalette::Shadow));
        p.setBrush(Qt::NoBrush);
        p.drawRect(rect().adjusted(0, 0, -1, -1));
    }
    p.drawImage(client.topLeft(), image);
}
