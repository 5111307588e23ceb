// Access levels and the service commands of the menu bar. The frame builds "File" and "Help"
// and connects their service entries to the slots here; this object owns the "User" popup at
// position 1 of the bar: it inserts, trims and removes it as access codes are entered.
#pragma once

#include <QObject>
#include <QString>

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

private:
    void SetCommandEnabledInPopup1(int commandId, bool enabled);

    QMenuBar* bar_;
    QWidget* dialogParent_;
    int level_ = 0;
};
