// Forms laid out in dialog units, as the window system's dialog templates are: a horizontal
// unit is a quarter of the font's average letter width, a vertical unit an eighth of its line
// height. Such a form follows its font: at a larger font every control grows with its text, and
// its size never depends on the values it shows.
#pragma once

#include <QRect>

class QFont;
class QWidget;

struct DialogBaseUnits {
    double x;  // average width of the 52 letters A-Z, a-z, in pixels
    double y;  // line height, in pixels
};

DialogBaseUnits BaseUnitsOf(const QFont& font);

// A rectangle in dialog units to pixels. Edges are converted, not sizes, so neighbours that
// touch in dialog units still touch.
QRect DialogUnitsToPixels(const QRect& units, DialogBaseUnits base);

// Forms that mark themselves with the property "dialogUnits" hold their own size and their
// direct children's geometry in dialog units; this turns them into pixels by the form's font and
// fixes the form's size. Other forms are left alone.
bool UsesDialogUnits(const QWidget* form);
void ApplyDialogUnits(QWidget* form);
