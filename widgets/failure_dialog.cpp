#include "widgets/failure_dialog.h"

#include <QLabel>

#include "widgets/dialog_units.h"
#include "ui_failure.h"

QString FormatBits(uint16_t word) {
    QString text(16, QLatin1Char('0'));
    for (int bit = 15; bit >= 0; --bit)
        if (word & (1u << bit)) text[15 - bit] = QLatin1Char('1');
    return text;
}

CFailure::CFailure(const _ZozeUps& device0, int integerRating, QWidget* parent)
    : QDialog(parent), ui_(new Ui::CFailure) {
    ui_->setupUi(this);
    ApplyDialogUnits(this);
    connect(ui_->buttonBox, &QDialogButtonBox::rejected, this, &CFailure::reject);

    const uint16_t* counters = device0.failureCounters;
    ui_->value_LastFailId->setText(QString::number(counters[0]));
    QLabel* const counterTexts[] = {
        ui_->value_Counter1, ui_->value_Counter2, ui_->value_Counter3, ui_->value_Counter4,
        ui_->value_Counter5, ui_->value_Counter6, ui_->value_Counter7, ui_->value_Counter8,
        ui_->value_Counter9, ui_->value_Counter10, ui_->value_Counter11, ui_->value_Counter12,
        ui_->value_Counter13, ui_->value_Counter15};
    const int entries[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 15};
    for (int i = 0; i < 14; ++i) counterTexts[i]->setText(QString::number(counters[entries[i]]));

    const UpsStatusBlock& s = device0.systemFailure;
    const bool haveFailure = counters[0] != 0;
    auto real = [&](double v) { return haveFailure ? QString::asprintf("%.2f", v) : QStringLiteral("-"); };
    ui_->value_InputLine->setText(real(s.inputVoltage));
    ui_->value_InputFreq->setText(real(s.inputFrequency));
    ui_->value_InputCurrent->setText(real(s.inputCurrent));
    ui_->value_OutputLine->setText(real(s.outputVoltage));
    ui_->value_OutputCurrent->setText(real(integerRating * s.outputCurrent));
    ui_->value_OutputPower->setText(real(integerRating * s.outputPower));
    ui_->value_OutputFreq->setText(real(s.outputFrequency));
    ui_->value_BatteryVoltage->setText(real(s.batteryVoltage));
    ui_->value_InternalVoltageP->setText(real(s.internalVoltage1));
    ui_->value_InverterTemp->setText(real(s.inverterTemperature));
    ui_->value_BatteryTemp->setText(real(s.caseTemperature));
    ui_->value_Flags12->setText(haveFailure ? FormatBits(s.flags12) : QStringLiteral("-"));
    ui_->value_Flags34->setText(haveFailure ? FormatBits(s.flags34) : QStringLiteral("-"));
    ui_->value_Status->setText(real(double(s.stateCode)));
}

CFailure::~CFailure() { delete ui_; }
