#include "app/state_presentation.h"

#include <cstring>

QString CaptionText(const char (&stateText)[40], uint16_t flags12) {
    // A text the link left without its zero is cut at the field's end rather than read past it.
    QString caption = QString::fromLatin1(stateText, int(strnlen(stateText, sizeof stateText)));
    if (flags12 & 0x4000) caption += QStringLiteral(" ECO MODE ");
    return caption;
}

QString ChargeLineText(uint32_t ccbStatus) {
    switch (ccbStatus) {
    case 1: return QStringLiteral("Charge I const");
    case 2: return QStringLiteral("Charge V const");
    case 3: return QStringLiteral("Charge Mant");
    default: return QStringLiteral("Discharge");
    }
}

QString StatusLineText(uint16_t stateCode) {
    QString line = QStringLiteral("Status %1").arg(stateCode, 0, 16);
    if (stateCode == 2)
        line += QStringLiteral(" - ACTIVE");
    else if (stateCode == 3)
        line += QStringLiteral(" - STAND-BY");
    return line;
}
