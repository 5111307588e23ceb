#include "app/service_menu.h"

#include <QMenu>
#include <QMenuBar>

int AccessLevelForCode(const QString&) { return 0; }

ServiceMenu::ServiceMenu(QMenuBar* bar, QWidget* dialogParent, QObject* parent)
    : QObject(parent), bar_(bar), dialogParent_(dialogParent) {}

int ServiceMenu::accessLevel() const { return level_; }
void ServiceMenu::ApplyAccessCode(const QString&) {}
QMenu* ServiceMenu::userMenu() const { return nullptr; }
void ServiceMenu::OnConfigComPort() {}
void ServiceMenu::OnInsertPassword() {}
void ServiceMenu::OnParameters() {}
void ServiceMenu::OnVesperoSet() {}
void ServiceMenu::OnCorrAd() {}
void ServiceMenu::OnStopSave() {}
void ServiceMenu::OnManageValues() {}
void ServiceMenu::OnResetEeprom() {}
void ServiceMenu::OnFirmwareVersion() {}
void ServiceMenu::SetCommandEnabledInPopup1(int, bool) {}
