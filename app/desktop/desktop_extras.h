// What the monitor adds to the desktop around its window: the tray icon with its notifications
// and the trend window, both fed by every refresh of the panel.
#pragma once

class CAlderaView;
class CTrendWindow;
class QMainWindow;
class TrayNotifier;

struct DesktopExtras {
    TrayNotifier* tray = nullptr;
    CTrendWindow* trend = nullptr;  // hidden until "Trend" is chosen; its ring fills from start
};

// Creates both (owned by the frame), connects them to the panel's refreshes and puts the
// "Trend" command into the File menu, above "Exit".
DesktopExtras InstallDesktopExtras(QMainWindow* frame, CAlderaView* view);
