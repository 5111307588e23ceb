#include "widgets/history_dialog.h"

QString FormatDuration(uint32_t s) {
    const uint32_t days = s / 86400;
    uint32_t r = s - days * 86400;
    const uint32_t hours = r / 3600;
    r -= hours * 3600;
    const uint32_t minutes = r / 60;
    const uint32_t seconds = r - minutes * 60;
    return QString::asprintf("%04u - %02u:%02u:%02u", days, hours, minutes, seconds);
}

CHistory::CHistory(const _ZozeUps&, QWidget* parent) : QDialog(parent), ui_(nullptr) {}
CHistory::~CHistory() = default;
