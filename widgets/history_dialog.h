// "History": the unit's highest recorded temperature and the time its inverter ran from the
// line, computed once when the dialog is built.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>

#include "link/ups_link.h"

// Seconds as "dddd - hh:mm:ss" (days with at least four digits).
QString FormatDuration(uint32_t seconds);

namespace Ui { class CHistory; }

class CHistory : public QDialog {
    Q_OBJECT
public:
    explicit CHistory(const _ZozeUps& device0, QWidget* parent = nullptr);
    ~CHistory() override;

private:
    Ui::CHistory* ui_;
};
