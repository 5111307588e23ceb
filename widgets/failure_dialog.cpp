#include "widgets/failure_dialog.h"

QString FormatBits(uint16_t word) {
    QString text(16, QLatin1Char('0'));
    for (int bit = 15; bit >= 0; --bit)
        if (word & (1u << bit)) text[15 - bit] = QLatin1Char('1');
    return text;
}

CFailure::CFailure(const _ZozeUps&, int, QWidget* parent) : QDialog(parent), ui_(nullptr) {}
CFailure::~CFailure() = default;
