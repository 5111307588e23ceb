#include "app/aldera_app.h"
#include "app/command_line.h"
#include "app/link_trace.h"
#include "app/quit_on_signal.h"

int main(int argc, char** argv) {
    if (const int status = AnswerInfoOptions(argc, argv); status >= 0) return status;
    const LinkTrace trace;  // outlives the link, so its last lines reach the file
    CAlderaApp app(argc, argv);
    QuitOnSignals(&app);
    if (!app.InitInstance()) return app.startStatus();
    const int status = app.exec();
    app.ExitInstance();
    return status;
}
