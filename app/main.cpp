#include "app/aldera_app.h"

int main(int argc, char** argv) {
    CAlderaApp app(argc, argv);
    if (!app.InitInstance()) return 0;
    const int status = app.exec();
    app.ExitInstance();
    return status;
}
