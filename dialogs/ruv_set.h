// "Vespero Set": the unit's set-up in the user's units, its power curve, and preset files.
#pragma once

#include <QDialog>
#include <QHash>

#include "dialogs/dialog_fields.h"
#include "dialogs/setup_values.h"
#include "link/ups_link.h"

namespace Ui { class CRuvSet; }

class CRuvSet : public QDialog {
    Q_OBJECT
public:
    // unlocked: false at access level 1, where the battery count, size and relay mode stay as
    // the unit reported them.
    CRuvSet(const UpsSetup& setupRead, bool unlocked, QWidget* parent = nullptr);
    ~CRuvSet() override;

    const SetupValues& values() const { return values_; }

    // After OK: write must hold a copy of the unit's current setupRead. Fields whose text the
    // user left as shown go back as the dialog read them from the unit.
    void StoreInto(UpsSetup& write) const;

    // The button actions once a path is known.
    void LoadPreset(const QString& path);
    void SavePreset(const QString& path);

public slots:
    void accept() override;
    void OnLoad();
    void OnSave();
    void OnDefault();

private:
    void ShowValues();
    bool ReadValues();
    void ApplyEnabling();
    SetupBaseline Baseline() const;

    Ui::CRuvSet* ui_;
    SetupValues values_;
    UpsSetup read_;
    QHash<QString, QString> shownTexts_;  // edit texts as first shown, by preset key
    bool unlocked_;
    DialogFields fields_;
};
