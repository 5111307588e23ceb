// --help and --version for vespero. They are answered before the window exists, so both work
// without a display, and every other argument still reaches QApplication untouched.
#pragma once

// -1 when the arguments ask for neither; otherwise the text has been printed and the result is
// the exit status.
int AnswerInfoOptions(int argc, char** argv);
