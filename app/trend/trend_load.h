// The trend window's log being read on a worker thread.
#pragma once

#include <QString>

#include "app/trend/log_reader.h"
#include "app/trend/trend_window.h"

class QThread;

// A log being read on its own thread; the window polls its progress.
struct CTrendWindow::Load {
    LogLoadProgress progress;
    LogLoadResult result;
    QString path;
    QThread* thread = nullptr;
};
