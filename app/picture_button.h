// A button that is only its picture, the same in every state (also when disabled).
#pragma once

#include <QPixmap>
#include <QPushButton>

class CPictureButton : public QPushButton {
    Q_OBJECT
public:
    explicit CPictureButton(QWidget* parent = nullptr) : QPushButton(parent) {}

    // Shows picture in every state and sizes the button to it.
    void SetPicture(const QPixmap& picture);
    const QPixmap& Picture() const { return picture_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap picture_;
};
