#include "app/picture_button.h"

#include <QPainter>

void CPictureButton::SetPicture(const QPixmap& picture) {
    picture_ = picture;
    setFixedSize(picture_.deviceIndependentSize().toSize());
    repaint();
}

QSize CPictureButton::sizeHint() const {
    return picture_.isNull() ? QPushButton::sizeHint() : picture_.deviceIndependentSize().toSize();
}

void CPictureButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (picture_.isNull()) {
        p.fillRect(rect(), palette().color(QPalette::Button));
        return;
    }
    p.drawPixmap(0, 0, picture_);
}
