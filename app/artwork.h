// The program's own pictures, painted in code: the panel's title picture and the window icon.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>

QPixmap PanelPicture(QSize size);
QIcon AppIcon();
