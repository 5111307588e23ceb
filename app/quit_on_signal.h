// SIGTERM, SIGINT and SIGHUP end the monitor as File > "Exit" does, so a session that logs out or a
// script that stops it leaves no serial lock file, no instance socket and no half-written log.
#pragma once

class QCoreApplication;

void QuitOnSignals(QCoreApplication* app);
