// How the port layer tells the user that a port cannot be opened. The link library does not
// link QtWidgets, so the window installs a reporter that shows a message box (on its own thread)
// and returns once the user has closed it. Without one the text goes to standard error.
#pragma once

using PortErrorReporter = void (*)(const char* text, const char* caption);

// nullptr restores the default (standard error).
void SetPortErrorReporter(PortErrorReporter reporter);

// Called on the link thread; returns when the reporter has returned.
void ReportPortError(const char* text, const char* caption);
