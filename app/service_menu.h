// Access levels and the service commands of the menu bar. The frame builds "File" and "Help"
// and connects their service entries to the slots here; this object owns the "User" popup at
// position 1 of the bar: it inserts, trims and removes it as access codes are entered.
#pragma once

#include <QObject>
#include <QString>

class QAction;
class QMenu;
class QMenuBar;
class QWidget;

// Level granted by an access code: 1, 2 or 3, or 0 for any other text (the empty one too).
// Exact, case-sensitive comparison of the whole text; the codes themselves are not stored.
int AccessLevelForCode(const QString& code);

class ServiceMenu : public QObject {
    Q_OBJECT
public:
    ServiceMenu(QMenuBar* bar, QWidget* dialogParent, QObject* parent = nullptr);

    int accessLevel() const;

    // What OnInsertPassword does once the code dialog was confirmed with this text.
    void ApplyAccessCode(const QString& code);

    // The "User" popup, or nullptr while the bar does not hold it.
    QMenu* userMenu() const;

public slots:
    void OnConfigComPort();
    void OnInsertPassword();
    void OnParameters();
    void OnVesperoSet();
    void OnCorrAd();
    void OnStopSave();
    void OnManageValues();
    void OnResetEeprom();
    void OnFirmwareVersion();

    // Enables or disables command commandId in whatever popup stands at position 1 of bar
    // (nothing happens when that popup lacks it). The refresh uses it to re-enable commands.
    static void SetCommandEnabledInPopup1(QMenuBar* bar, int commandId, bool enabled);

private:
    QMenu* PopupAt(int position) const;
    int PopupCount() const;
    QAction* AddCommand(QMenu* menu, int id, const QString& text, void (ServiceMenu::*slot)());

    QMenuBar* bar_;
    QWidget* dialogParent_;
    int level_ = 0;
};
