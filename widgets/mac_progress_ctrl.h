// The shaded bar gauge of the main panel: a horizontal tube drawn in shades of one bar colour.
#pragma once

#include <QColor>
#include <QImage>
#include <QPen>
#include <QProgressBar>
#include <cstdint>

class CMacProgressCtrl : public QProgressBar {
    Q_OBJECT
    // The window style "border": a one-pixel frame around the gauge, which paints inside it.
    // Forms set it; an empty gauge then still shows as a framed track.
    Q_PROPERTY(bool border READ HasBorder WRITE SetBorder)
public:
    explicit CMacProgressCtrl(QWidget* parent = nullptr);
    ~CMacProgressCtrl() override;

    // Derives every shade from colour (and the palette's shadows) and repaints at once.
    void SetColor(QColor colour);

    // A panel that recolours all its gauges in one go opens a batch: while it is open, the
    // repaints that SetColor owes are collected and, when it closes, done in one synchronous
    // pass per window. Each repaint on its own would also repaint everything behind the gauge.
    class RepaintBatch {
    public:
        RepaintBatch();
        ~RepaintBatch();
        RepaintBatch(const RepaintBatch&) = delete;
        RepaintBatch& operator=(const RepaintBatch&) = delete;
    };
    // A position outside the new range moves to the nearer bound.
    void SetRange(uint16_t lower, uint16_t upper);
    // Stored within the range.
    void SetPos(int position);
    int GetPos() const { return pos_; }
    void GetRange(int& lower, int& upper) const {
        lower = lower_;
        upper = upper_;
    }

    // One 51 step per channel; a channel that would leave 0..255 is left as it is.
    static QColor Lighten(QColor c);
    static QColor Darken(QColor c);

    // The colours in use, for the panel and its tests.
    QColor BarColor() const { return bar_; }
    QColor Light1() const { return light1_; }
    QColor Light2() const { return light2_; }
    QColor Light3() const { return light3_; }
    QColor Dark1() const { return dark1_; }
    QColor Dark2() const { return dark2_; }
    QColor DarkShadow() const { return darkShadow_; }
    QColor ButtonShadow() const { return buttonShadow_; }
    QColor ShadowBlend() const { return shadowBlend_; }

    bool HasBorder() const { return border_; }
    void SetBorder(bool on);
    // The area the gauge paints: all of it, or what the border leaves.
    QRect ClientRect() const;

    // The gauge's client area as it is painted, composed off-screen.
    QImage ComposeImage(QSize size) const;
    // Filled extent in pixels for a surface width (0 for an empty or inverted range).
    int FilledExtent(int width) const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void DeriveColours();
    void DrawHorizontalBar(QPainter& p, int left, int top, int right, int bottom) const;

    bool border_ = false;
    int lower_ = 0;
    int upper_ = 100;
    int pos_ = 0;

    QColor bar_, light1_, light2_, light3_, dark1_, dark2_;
    QColor darkShadow_, buttonShadow_, shadowBlend_;
    QPen barPen_, light1Pen_, light2Pen_, dark1Pen_, dark2Pen_, blendPen_, buttonShadowPen_;
};
