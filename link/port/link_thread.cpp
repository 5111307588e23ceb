// The link thread on a QThread (QSerialPort wants a Qt thread), with an orderly stop.
#include <QMutex>
#include <QThread>

#include "link/link_core.h"
#include "link/port/serial_port.h"
#include "link/port/settings_store.h"
#include "link/port/ups_event.h"

namespace {

QMutex threadMutex;
QThread* linkThread = nullptr;  // guarded by threadMutex

}  // namespace

extern "C" void LinkThread(void) {
    SetDefaultPortOps(QtSerialPortOps());
    SetLinkSettingsStore(QtSettingsStore());
    SetLinkPoster(&PostUpsMessage);

    LinkStartup();
    while (!LinkStopRequested()) {
        // With no unit to poll nothing paces the loop: it rests until a port is due to be
        // reopened, or a stop or reload is asked for.
        if (LinkPass() == 0) LinkRest(LinkRestMs());
    }
    LinkShutdown();
}

extern "C" void StartLinkThread(void) {
    QMutexLocker lock(&threadMutex);
    if (linkThread) return;
    SetLinkStopRequested(0);
    linkThread = QThread::create(&LinkThread);
    linkThread->setObjectName(QStringLiteral("vespero-link"));
    linkThread->start();
}

extern "C" void StopLinkThread(void) {
    QMutexLocker lock(&threadMutex);
    if (!linkThread) return;
    SetLinkStopRequested(1);
    linkThread->wait();
    delete linkThread;
    linkThread = nullptr;
}
