#include "app/port_chooser_start.h"

#include "dialogs/chose_com.h"
#include "link/device_lock.h"
#include "link/link_core.h"
#include "link/port/settings_store.h"

bool ChoosePortBeforeStart(QWidget* parent) {
    SetLinkSettingsStore(QtSettingsStore());
    ReadLinkSettings();
    int port, rate;
    {
        auto lock = LockDevice(0);
        port = MainUps[0].comPort;
        rate = MainUps[0].baudRate;
    }
    CChoseCom dialog(port, parent);
    dialog.SetLine(rate, false);  // no link runs yet: even the saved port is tried
    if (dialog.exec() != QDialog::Accepted) return false;
    {
        auto lock = LockDevice(0);
        MainUps[0].comPort = dialog.portNumber();
        MainUps[0].comPortChosen = dialog.portNumber();
    }
    SaveLinkSettings();
    return true;
}
