// "System Failures": the unit's snapshot of its last system failure and its failure counters,
// computed once when the dialog is built.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>

#include "link/ups_link.h"

// The 16 bits of word as "1"/"0" characters, bit 15 first (5 gives 0000000000000101).
QString FormatBits(uint16_t word);

namespace Ui { class CFailure; }

class CFailure : public QDialog {
    Q_OBJECT
public:
    // integerRating: the panel's cached rating truncated toward zero; it scales the output
    // current and power of the snapshot.
    CFailure(const _ZozeUps& device0, int integerRating, QWidget* parent = nullptr);
    ~CFailure() override;

private:
    Ui::CFailure* ui_;
};
