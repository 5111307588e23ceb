#include "widgets/history_dialog.h"

#include "widgets/dialog_units.h"
#include "ui_history.h"

QString FormatDuration(uint32_t s) {
    const uint32_t days = s / 86400;
    uint32_t r = s - days * 86400;
    const uint32_t hours = r / 3600;
    r -= hours * 3600;
    const uint32_t minutes = r / 60;
    const uint32_t seconds = r - minutes * 60;
    return QString::asprintf("%04u - %02u:%02u:%02u", days, hours, minutes, seconds);
}

CHistory::CHistory(const _ZozeUps& device0, QWidget* parent) : QDialog(parent), ui_(new Ui::CHistory) {
    ui_->setupUi(this);
    ApplyDialogUnits(this);
    connect(ui_->buttonBox, &QDialogButtonBox::rejected, this, &CHistory::reject);
    ui_->value_TempMax->setText(QString::asprintf("%.1f", device0.historyMaxTemperature));
    ui_->value_InverterFromLine->setText(FormatDuration(device0.historyDurationB[3]));
}

CHistory::~CHistory() { delete ui_; }
