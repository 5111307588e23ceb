// vespero-screenshot: runs the monitor as vespero does and, after a number of refreshes from
// the link, saves a picture of the whole window and ends.
// Usage: vespero-screenshot FILE [REFRESHES]   (default 12 refreshes)
#include <QEvent>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "app/aldera_app.h"
#include "app/aldera_view.h"
#include "app/main_frame.h"
#include "link/ups_link.h"

namespace {
// The window system draws the caption, so a grab lacks it; the picture gets a plain one on top.
QImage WithCaption(const QPixmap& window, const QString& caption) {
    const int bar = 24;
    QImage image(window.width(), window.height() + bar, QImage::Format_RGB32);
    QPainter p(&image);
    p.fillRect(0, 0, image.width(), bar, QColor(48, 54, 64));
    p.setPen(Qt::white);
    QFont font = p.font();
    font.setBold(true);
    p.setFont(font);
    p.drawText(QRect(8, 0, image.width() - 16, bar), Qt::AlignVCenter | Qt::AlignLeft, caption);
    p.drawPixmap(0, bar, window);
    return image;
}

class RefreshCounter : public QObject {
public:
    RefreshCounter(CMainFrame* frame, QString file, int wanted)
        : frame_(frame), file_(std::move(file)), wanted_(wanted) {}
    bool ok = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (int(event->type()) == WM_UPS_REFRESH && ++seen_ == wanted_) {
            // After this refresh has been handled and painted.
            QTimer::singleShot(50, this, [this] {
                ok = WithCaption(frame_->grab(), frame_->windowTitle()).save(file_);
                std::printf("%s %s after %d refreshes\n", ok ? "saved" : "could not save",
                            qPrintable(file_), seen_);
                QCoreApplication::exit(ok ? 0 : 1);
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    CMainFrame* frame_;
    QString file_;
    int wanted_;
    int seen_ = 0;
};
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: vespero-screenshot FILE [REFRESHES]\n");
        return 2;
    }
    CAlderaApp app(argc, argv);
    const QString file = QString::fromLocal8Bit(argv[1]);
    const int wanted = argc > 2 ? std::max(1, std::atoi(argv[2])) : 12;
    if (!app.InitInstance()) return 1;
    RefreshCounter counter(app.frame(), file, wanted);
    app.view()->installEventFilter(&counter);
    // Bounded: a unit that never answers still gets its picture (of "Timeout") in time.
    QTimer::singleShot(60000, &app, [] {
        std::fprintf(stderr, "vespero-screenshot: no %s refreshes within 60 s\n", "enough");
        QCoreApplication::exit(1);
    });
    const int status = app.exec();
    app.ExitInstance();
    return status;
}
