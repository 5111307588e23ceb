#include "app/service_menu.h"

#include <QAction>
#include <QCryptographicHash>
#include <QMenu>
#include <QMenuBar>
#include <cstring>

#include "dialogs/change_password.h"
#include "dialogs/chose_com.h"
#include "dialogs/corrad.h"
#include "dialogs/manage.h"
#include "dialogs/ruv_set.h"
#include "dialogs/set_parameters.h"
#include "link/device_lock.h"
#include "link/ups_link.h"
#include "widgets/control_ids.h"
#include "widgets/message_box.h"

namespace {

enum {
    kParameters = 32772,
    kManageValues = 32790,
    kResetEeprom = 32791,
    kVesperoSet = 32792,
    kCorrAd = 32793,
    kStopSave = 32794,
};

// SHA-256 of the access codes for levels 1, 2 and 3, so the codes never sit in the binary.
const char* const kCodeDigests[3] = {
    "6a30f630de10757c2efcde448c91d09746a44b6be1688992634996f76955a21f",
    "b0532e1af75cc4ab043c2268253b25dc7a4fec25b012faf30f9c85f0c486d852",
    "20de6f3d0957daa327aecd63d390e00101a4694e5d25dc9dc81b5f8d95756cb2",
};

// A disabled service item is inactive but keeps its normal look.
void DrawDisabledLikeEnabled(QMenu* menu) {
    QPalette palette = menu->palette();
    for (QPalette::ColorRole role : {QPalette::Text, QPalette::WindowText, QPalette::ButtonText,
                                     QPalette::Light, QPalette::Window, QPalette::Base})
        palette.setColor(QPalette::Disabled, role, palette.color(QPalette::Active, role));
    menu->setPalette(palette);
}

}  // namespace

int AccessLevelForCode(const QString& code) {
    const QByteArray digest =
        QCryptographicHash::hash(code.toUtf8(), QCryptographicHash::Sha256).toHex();
    for (int level = 1; level <= 3; ++level)
        if (digest == kCodeDigests[level - 1]) return level;
    return 0;
}

ServiceMenu::ServiceMenu(QMenuBar* bar, QWidget* dialogParent, QObject* parent)
    : QObject(parent), bar_(bar), dialogParent_(dialogParent) {}

int ServiceMenu::accessLevel() const { return level_; }

int ServiceMenu::PopupCount() const {
    int count = 0;
    for (QAction* a : bar_->actions())
        if (a->menu()) ++count;
    return count;
}

QMenu* ServiceMenu::PopupAt(int position) const {
    int index = 0;
    for (QAction* a : bar_->actions()) {
        if (!a->menu()) continue;
        if (index++ == position) return a->menu();
    }
    return nullptr;
}

QMenu* ServiceMenu::userMenu() const { return PopupCount() == 3 ? PopupAt(1) : nullptr; }

QAction* ServiceMenu::AddCommand(QMenu* menu, int id, const QString& text, void (ServiceMenu::*slot)()) {
    QAction* action = menu->addAction(text);
    action->setObjectName(CommandName(id));
    connect(action, &QAction::triggered, this, slot);
    return action;
}

void ServiceMenu::ApplyAccessCode(const QString& code) {
    level_ = AccessLevelForCode(code);
    if (level_ == 0) {
        if (QMenu* user = userMenu()) {
            bar_->removeAction(user->menuAction());
            delete user;  // with its commands: none of them can be running, this came from File
        }
        bar_->update();
        return;
    }
    QMenu* user = userMenu();
    if (!user) {
        user = new QMenu(QStringLiteral("&User"), bar_);
        DrawDisabledLikeEnabled(user);
        QMenu* help = PopupAt(1);
        if (help)
            bar_->insertMenu(help->menuAction(), user);
        else
            bar_->addMenu(user);
        AddCommand(user, kParameters, QStringLiteral("Parameters"), &ServiceMenu::OnParameters);
        AddCommand(user, kVesperoSet, QStringLiteral("VesperoSet"), &ServiceMenu::OnVesperoSet);
        AddCommand(user, kCorrAd, QStringLiteral("Corr AD"), &ServiceMenu::OnCorrAd);
        AddCommand(user, kStopSave, QStringLiteral("Stop && Save"), &ServiceMenu::OnStopSave);
    }
    const QList<QAction*> items = user->actions();
    if (level_ == 3) {
        if (items.size() != 7) {
            user->addSeparator();
            AddCommand(user, kManageValues, QStringLiteral("Manage Values"), &ServiceMenu::OnManageValues);
            AddCommand(user, kResetEeprom, QStringLiteral("Reset EEPROM"), &ServiceMenu::OnResetEeprom);
        }
    } else if (items.size() != 4) {
        for (qsizetype i = 4; i < items.size(); ++i) {
            user->removeAction(items[i]);
            if (items[i]->parent() == user) delete items[i];
        }
    }
    bar_->update();
}

void ServiceMenu::SetCommandEnabledInPopup1(QMenuBar* bar, int commandId, bool enabled) {
    int index = 0;
    for (QAction* a : bar->actions()) {
        if (!a->menu()) continue;
        if (index++ != 1) continue;
        for (QAction* item : a->menu()->actions())
            if (item->objectName() == CommandName(commandId)) item->setEnabled(enabled);
        return;
    }
}

void ServiceMenu::OnInsertPassword() {
    CChangePassword dialog(dialogParent_);
    if (dialog.exec() != QDialog::Accepted) return;
    ApplyAccessCode(dialog.code());
}

void ServiceMenu::OnConfigComPort() {
    int port, rate;
    bool open;
    {
        auto lock = LockDevice(0);
        port = MainUps[0].comPort;
        rate = MainUps[0].baudRate;
        open = MainUps[0].portHandle != nullptr;
    }
    CChoseCom dialog(port, dialogParent_);
    dialog.SetLine(rate, open);
    if (dialog.exec() != QDialog::Accepted) return;
    auto lock = LockDevice(0);
    MainUps[0].comPort = dialog.portNumber();
    MainUps[0].comPortChosen = dialog.portNumber();
    KeybCommand(KEYB_RELOAD_PORTS, 0, 0, 0);
}

void ServiceMenu::OnParameters() {
    const _ZozeUps snapshot = SnapshotDevice(0);
    CSetParameters dialog(snapshot.userParamsRead, dialogParent_);
    if (dialog.exec() != QDialog::Accepted) return;
    auto lock = LockDevice(0);
    dialog.StoreInto(MainUps[0].userParamsWrite);
    KeybCommand(KEYB_WRITE_USER_PARAMS, 0, 0, 0);
}

void ServiceMenu::OnVesperoSet() {
    const _ZozeUps snapshot = SnapshotDevice(0);
    CRuvSet dialog(snapshot.setupRead, level_ != 1, dialogParent_);
    if (dialog.exec() != QDialog::Accepted) return;
    {
        auto lock = LockDevice(0);
        UpsSetup write = MainUps[0].setupRead;
        dialog.StoreInto(write);
        MainUps[0].setupWrite = write;
        KeybCommand(KEYB_WRITE_SETUP, 0, 0, 0);
    }
    SetCommandEnabledInPopup1(bar_, kVesperoSet, false);
}

void ServiceMenu::OnCorrAd() {
    const _ZozeUps snapshot = SnapshotDevice(0);
    CCorrad dialog(snapshot, dialogParent_);
    if (dialog.exec() != QDialog::Accepted) return;
    {
        auto lock = LockDevice(0);
        dialog.StoreInto(MainUps[0]);
        KeybCommand(KEYB_WRITE_AD, 0, 0, 0);
    }
    SetCommandEnabledInPopup1(bar_, kCorrAd, false);
}

void ServiceMenu::OnStopSave() { KeybCommand(KEYB_STOP_SAVE, 0, 0, 0); }

void ServiceMenu::OnManageValues() {
    const _ZozeUps snapshot = SnapshotDevice(0);
    CManage dialog(snapshot, dialogParent_);
    if (dialog.exec() != QDialog::Accepted) return;
    auto lock = LockDevice(0);
    dialog.StoreInto(MainUps[0]);
    KeybCommand(KEYB_WRITE_DEBUG, 0, 0, 0);
}

void ServiceMenu::OnResetEeprom() { KeybCommand(KEYB_RESET_EEPROM, 0, 0, 0); }

void ServiceMenu::OnFirmwareVersion() {
    char version[sizeof MainUps[0].firmwareVersion + 1] = {};
    {
        auto lock = LockDevice(0);
        std::memcpy(version, MainUps[0].firmwareVersion, sizeof MainUps[0].firmwareVersion);
    }
    const QString text = version[0] ? QString::fromLatin1(version) : QStringLiteral("N/A");
    ShowMessageBox(dialogParent_, QStringLiteral("Firmware version: ") + text, QStringLiteral("Vespero"),
                   BoxIcon::Exclamation);
}
