// How the port layer tells the user that a port cannot be opened. The link library does not
// link QtWidgets, so the window installs a reporter that shows a message box (on its own thread)
// and returns once the user has closed it. Without one the text goes to standard error.
//
// Changes of a port at run time (lost, reopened, still unavailable on a retry) are no error to
// show in a box: they go to a second reporter, a service's log for instance.
#pragma once

using PortErrorReporter = void (*)(const char* text, const char* caption);

// nullptr restores the default (standard error).
void SetPortErrorReporter(PortErrorReporter reporter);

// Called on the link thread; returns when the reporter has returned.
void ReportPortError(const char* text, const char* caption);

enum class PortEvent {
    Lost,         // the open port failed (hang-up, I/O error, device removed or replaced)
    Reopened,     // a lost or missing port opened again
    Unavailable,  // a retry could not open it; reported on every retry
};
// port: "COM1 (/dev/ttyUSB0)"; reason: the system's text, empty for Reopened. Called on the link
// thread; must not wait on the thread that owns the window.
using PortStatusReporter = void (*)(PortEvent event, int comPort, const char* port, const char* reason);

// nullptr restores the default (standard error).
void SetPortStatusReporter(PortStatusReporter reporter);
void ReportPortStatus(PortEvent event, int comPort, const char* port, const char* reason);
