#include "app/aldera_app.h"
#include "app/command_line.h"

int main(int argc, char** argv) {
    if (const int status = AnswerInfoOptions(argc, argv); status >= 0) return status;
    CAlderaApp app(argc, argv);
    if (!app.InitInstance()) return app.startStatus();
    const int status = app.exec();
    app.ExitInstance();
    return status;
}
