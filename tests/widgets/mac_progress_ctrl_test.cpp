#include "widgets/mac_progress_ctrl.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPalette>
#include <QWidget>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

// Known system colours so every letter of a picture maps to one exact colour.
const QColor kFace(0xF0, 0xF0, 0xF0);
const QColor kDarkShadow(0x40, 0x40, 0x40);
const QColor kButtonShadow(0xA0, 0xA0, 0xA0);

struct Gauge {
    CMacProgressCtrl ctrl;
    explicit Gauge(QColor bar) {
        QPalette pal = ctrl.palette();
        pal.setColor(QPalette::Button, kFace);
        pal.setColor(QPalette::Shadow, kDarkShadow);
        pal.setColor(QPalette::Dark, kButtonShadow);
        ctrl.setPalette(pal);
        ctrl.SetColor(bar);
    }
    std::map<char, QRgb> Legend() const {
        return {{'B', ctrl.BarColor().rgb()}, {'a', ctrl.Light1().rgb()},
                {'b', ctrl.Light2().rgb()},   {'3', ctrl.Light3().rgb()},
                {'d', ctrl.Dark1().rgb()},    {'e', ctrl.Dark2().rgb()},
                {'V', ctrl.ShadowBlend().rgb()}, {'S', ctrl.ButtonShadow().rgb()},
                {'.', kFace.rgb()}};
    }
    // The image as rows of legend letters ('?' for a colour outside the legend).
    std::vector<std::string> Letters(QSize size) const {
        const QImage img = ctrl.ComposeImage(size);
        const auto legend = Legend();
        std::vector<std::string> rows;
        for (int y = 0; y < img.height(); ++y) {
            std::string row;
            for (int x = 0; x < img.width(); ++x) {
                char found = '?';
                for (auto [letter, rgb] : legend)
                    if ((img.pixel(x, y) & 0xFFFFFF) == (rgb & 0xFFFFFF)) found = letter;
                row += found;
            }
            rows.push_back(row);
        }
        return rows;
    }
};

TEST(MacProgressColours, LightenAndDarkenStepBy51AndNeverClamp) {
    EXPECT_EQ(CMacProgressCtrl::Lighten(QColor(204, 230, 0)), QColor(255, 230, 51));
    EXPECT_EQ(CMacProgressCtrl::Darken(QColor(51, 50, 255)), QColor(0, 50, 204));

    Gauge green(QColor(0, 255, 0));
    EXPECT_EQ(green.ctrl.Light1(), QColor(51, 255, 51));
    EXPECT_EQ(green.ctrl.Light2(), QColor(102, 255, 102));
    EXPECT_EQ(green.ctrl.Light3(), QColor(153, 255, 153));
    EXPECT_EQ(green.ctrl.Dark1(), QColor(0, 204, 0));
    EXPECT_EQ(green.ctrl.Dark2(), QColor(0, 153, 0));

    Gauge red(QColor(255, 0, 0));
    EXPECT_EQ(red.ctrl.Light3(), QColor(255, 153, 153));
    EXPECT_EQ(red.ctrl.Dark2(), QColor(153, 0, 0));

    // 230 stays 230 in every light shade; 30 stays 30 in both dark shades.
    Gauge odd(QColor(230, 30, 100));
    EXPECT_EQ(odd.ctrl.Light1(), QColor(230, 81, 151));
    EXPECT_EQ(odd.ctrl.Light2(), QColor(230, 132, 202));
    EXPECT_EQ(odd.ctrl.Light3(), QColor(230, 183, 253));
    EXPECT_EQ(odd.ctrl.Dark1(), QColor(179, 30, 49));
    EXPECT_EQ(odd.ctrl.Dark2(), QColor(128, 30, 49));

    // Shadow blend is the per-channel mean, rounded down.
    QPalette pal;
    pal.setColor(QPalette::Shadow, QColor(1, 2, 3));
    pal.setColor(QPalette::Dark, QColor(4, 4, 4));
    CMacProgressCtrl g;
    g.setPalette(pal);
    g.SetColor(Qt::red);
    EXPECT_EQ(g.ShadowBlend(), QColor(2, 3, 3));
}

TEST(MacProgressRange, PositionIsHeldWithinTheRange) {
    CMacProgressCtrl g;
    g.SetRange(20, 4000);
    g.SetPos(19);
    EXPECT_EQ(g.GetPos(), 20);
    g.SetPos(5000);
    EXPECT_EQ(g.GetPos(), 4000);
    g.SetPos(-5);
    EXPECT_EQ(g.GetPos(), 20);
    // A narrower range pulls the position to the nearer bound.
    g.SetPos(3000);
    g.SetRange(0, 100);
    EXPECT_EQ(g.GetPos(), 100);
    g.SetRange(50, 60);
    EXPECT_EQ(g.GetPos(), 60);
    int lo = -1, hi = -1;
    g.GetRange(lo, hi);
    EXPECT_EQ(lo, 50);
    EXPECT_EQ(hi, 60);
    // 16-bit bounds: 65535 is a valid upper bound.
    g.SetRange(0, 65535);
    g.SetPos(70000);
    EXPECT_EQ(g.GetPos(), 65535);
}

TEST(MacProgressPaint, TwentyFourOfTwentySixMatchesTheReferencePicture) {
    Gauge g(QColor(0, 255, 0));
    g.ctrl.SetRange(0, 26);
    g.ctrl.SetPos(24);
    const std::vector<std::string> expected = {
        "BBddddddddddddddddddddddVS", "BaBBBBBBBBBBBBBBBBBBBBBeVS",
        "BbaaaaaaaaaaaaaaaaaaaadeVS", "B3bbbbbbbbbbbbbbbbbbbbdeVS",
        "BbaaaaaaaaaaaaaaaaaaaadeVS", "BaBBBBBBBBBBBBBBBBBBBBdeVS",
        "BBdddddddddddddddddddddeVS", "BdeeeeeeeeeeeeeeeeeeeeeeVS",
    };
    EXPECT_EQ(g.Letters(QSize(26, 8)), expected);
}

TEST(MacProgressPaint, TallGaugeCoreRows) {
    Gauge g(QColor(255, 0, 0));
    g.ctrl.SetRange(0, 30);
    g.ctrl.SetPos(20);
    const auto rows = g.Letters(QSize(30, 14));
    // Rows T+4 .. B-6 have the same shape: bar, light 3 core, light 2, dark 1, dark 2, shadows.
    const std::string core = "B" + std::string(16, '3') + "bde" + "VS" + std::string(8, '.');
    for (int y = 4; y <= 14 - 6; ++y) EXPECT_EQ(rows[y], core) << "row " << y;
}

TEST(MacProgressPaint, EdgeExtents) {
    Gauge g(QColor(255, 255, 0));

    // R = 0: only the button face.
    g.ctrl.SetRange(0, 100);
    g.ctrl.SetPos(0);
    for (const auto& row : g.Letters(QSize(10, 6))) EXPECT_EQ(row, "..........");

    // Fractional extents truncate: 1 of 200 on 100 pixels is still empty.
    g.ctrl.SetRange(0, 200);
    g.ctrl.SetPos(1);
    EXPECT_EQ(g.ctrl.FilledExtent(100), 0);

    // R = W: the shadow columns fall outside; the last column is the dark-2 edge.
    g.ctrl.SetRange(0, 26);
    g.ctrl.SetPos(26);
    const auto full = g.Letters(QSize(26, 8));
    for (int y = 1; y < 8; ++y) EXPECT_EQ(full[y].back(), 'e') << "row " << y;
    EXPECT_EQ(full[0].back(), 'd');
    for (const auto& row : full) EXPECT_EQ(row.find_first_of("VS."), std::string::npos);

    // One pixel: column 0 dark 2 below a bar-colour top, then the two shadow columns.
    g.ctrl.SetRange(0, 10);
    g.ctrl.SetPos(1);
    const auto one = g.Letters(QSize(10, 8));
    EXPECT_EQ(one[0].substr(0, 3), "BVS");
    for (int y = 1; y < 8; ++y) EXPECT_EQ(one[y].substr(0, 4), "eVS.") << "row " << y;
}

TEST(MacProgressPaint, EmptyRangeShowsNothingFilled) {
    Gauge g(QColor(0, 255, 0));
    g.ctrl.SetRange(7, 7);
    g.ctrl.SetPos(7);
    EXPECT_EQ(g.ctrl.FilledExtent(50), 0);
    for (const auto& row : g.Letters(QSize(5, 4))) EXPECT_EQ(row, ".....");
}

TEST(MacProgressPaint, WidgetPaintShowsTheComposedImage) {
    Gauge g(QColor(0, 255, 0));
    g.ctrl.resize(26, 8);
    g.ctrl.SetRange(0, 26);
    g.ctrl.SetPos(24);
    const QImage shown = g.ctrl.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QImage composed = g.ctrl.ComposeImage(QSize(26, 8));
    ASSERT_EQ(shown.size(), composed.size());
    EXPECT_EQ(shown, composed);
}

// With its border the gauge paints the same picture inside a one-pixel frame.
TEST(MacProgressPaint, BorderFramesTheComposedImage) {
    Gauge g(QColor(0, 255, 0));
    g.ctrl.SetBorder(true);
    g.ctrl.resize(28, 10);
    g.ctrl.SetRange(0, 26);
    g.ctrl.SetPos(24);
    EXPECT_EQ(g.ctrl.ClientRect(), QRect(1, 1, 26, 8));
    const QImage shown = g.ctrl.grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(shown.copy(1, 1, 26, 8), g.ctrl.ComposeImage(QSize(26, 8)));
    const QRgb frame = g.ctrl.palette().color(QPalette::Shadow).rgb();
    for (int x = 0; x < 28; ++x) {
        EXPECT_EQ(shown.pixel(x, 0), frame) << x;
        EXPECT_EQ(shown.pixel(x, 9), frame) << x;
    }
    for (int y = 0; y < 10; ++y) {
        EXPECT_EQ(shown.pixel(0, y), frame) << y;
        EXPECT_EQ(shown.pixel(27, y), frame) << y;
    }

    // Empty, it is still seen: a framed track of button face.
    g.ctrl.SetPos(0);
    const QImage empty = g.ctrl.grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(empty.pixel(0, 0), frame);
    EXPECT_EQ(empty.pixel(13, 5), kFace.rgb());
    EXPECT_NE(frame, kFace.rgb());
}

}  // namespace

namespace {

struct PaintCounter : QObject {
    std::map<const QObject*, int> paints;
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() == QEvent::Paint) ++paints[o];
        return false;
    }
};

}  // namespace

// SetColor repaints before it returns; inside a batch every owed repaint is done, still before
// the batch returns, but once per gauge and with the window behind them painted only once.
TEST(MacProgressPaint, BatchedColourChangesRepaintOnceWhenTheBatchCloses) {
    QWidget window;
    window.resize(200, 60);
    auto* a = new CMacProgressCtrl(&window);
    auto* b = new CMacProgressCtrl(&window);
    a->setGeometry(0, 0, 100, 10);
    b->setGeometry(0, 20, 100, 10);
    a->SetPos(50);
    window.show();
    QCoreApplication::processEvents();

    PaintCounter count;
    for (QObject* o : {static_cast<QObject*>(&window), static_cast<QObject*>(a), static_cast<QObject*>(b)})
        o->installEventFilter(&count);

    a->SetColor(Qt::red);
    EXPECT_EQ(count.paints[a], 1) << "a lone SetColor paints at once";

    count.paints.clear();
    {
        CMacProgressCtrl::RepaintBatch batch;
        a->SetColor(Qt::green);
        b->SetColor(Qt::yellow);
        a->SetColor(Qt::red);
        EXPECT_TRUE(count.paints.empty()) << "nothing is painted while the batch is open";
    }
    EXPECT_EQ(count.paints[a], 1);
    EXPECT_EQ(count.paints[b], 1);
    EXPECT_LE(count.paints[&window], 1) << "the window behind them is painted once at most";
    EXPECT_EQ(a->grab().toImage().pixelColor(0, 0), a->BarColor());
}
