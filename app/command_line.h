// --help and --version for vespero. They are answered before the window exists, so both work
// without a display, and every other argument still reaches QApplication untouched.
#pragma once

#include <QString>

// -1 when the arguments ask for neither; otherwise the text has been printed and the result is
// the exit status.
int AnswerInfoOptions(int argc, char** argv);

// Lines of at most width characters, broken between words; a line break in text starts a new
// line. A word longer than width stands alone on its line.
QString WrapWords(const QString& text, int width);
