#include "app/tray_rules.h"

TrayCondition ClassifyState(const QString& stateText, bool batteryLow) {
    const QString s = stateText.trimmed();
    if (s == QLatin1String("Timeout")) return TrayCondition::LinkLost;
    // The load runs from the line, also through the bypass or in ECO mode.
    if (s.startsWith(QLatin1String("On_Line")) || s == QLatin1String("Bypass or Eco Mode"))
        return TrayCondition::OnLine;
    if (s == QLatin1String("On_Battery") || s == QLatin1String("Battery_Starting_pre_PFC") ||
        s == QLatin1String("Battery_Starting_PFC"))
        return batteryLow ? TrayCondition::Alarm : TrayCondition::OnBattery;
    // Stopped on purpose, or still starting: no fault.
    if (s == QLatin1String("Stand_By") || s == QLatin1String("Keyboard_Stop") ||
        s == QLatin1String("Shutdown") || s == QLatin1String("Stop & Go") ||
        s == QLatin1String("Starting_pre_PFC") || s == QLatin1String("Starting_PFC"))
        return TrayCondition::StandBy;
    static const char* const kFaults[] = {
        "VHN too High",         "VHP too High",  "Input Line out of Sync", "VHP too Low",
        "VHN too Low",          "VAPC Too High", "Low Battery Voltage",    "Bad Connection",
        "CAN Fault",            "Overload",      "Over Temperature",       "Output Shortage",
        "PFC current too high", "Emergency Power OFF", "Bad Relay"};
    for (const char* fault : kFaults)
        if (s == QLatin1String(fault)) return TrayCondition::Alarm;
    // A text this program does not know: not green, not an alarm either.
    return TrayCondition::StandBy;
}

TrayColour ColourOf(TrayCondition condition) {
    switch (condition) {
    case TrayCondition::OnLine: return TrayColour::Green;
    case TrayCondition::StandBy:
    case TrayCondition::OnBattery: return TrayColour::Amber;
    case TrayCondition::Alarm:
    case TrayCondition::LinkLost: return TrayColour::Red;
    }
    return TrayColour::Red;
}

QString NoteTitle(const TrayNote& note) {
    if (note.from == TrayCondition::LinkLost && note.to != TrayCondition::LinkLost)
        return QStringLiteral("UPS link back");
    switch (note.to) {
    case TrayCondition::OnLine: return QStringLiteral("UPS on line");
    case TrayCondition::StandBy: return QStringLiteral("UPS in stand-by");
    case TrayCondition::OnBattery: return QStringLiteral("UPS on battery");
    case TrayCondition::Alarm: return QStringLiteral("UPS alarm");
    case TrayCondition::LinkLost: return QStringLiteral("UPS link lost");
    }
    return {};
}

std::optional<TrayNote> NotificationGate::Show(TrayCondition condition, int64_t now) {
    const TrayNote note{shown_, condition};
    shown_ = condition;
    pending_.reset();
    lastShownAt_ = now;
    return note;
}

std::optional<TrayNote> NotificationGate::Offer(TrayCondition condition, int64_t now) {
    if (condition == shown_) {
        pending_.reset();  // back where the user last saw it: nothing new to tell
        return std::nullopt;
    }
    if (!lastShownAt_ || now - *lastShownAt_ >= minGap_) return Show(condition, now);
    pending_ = condition;
    return std::nullopt;
}

std::optional<TrayNote> NotificationGate::Due(int64_t now) {
    if (!pending_ || !lastShownAt_ || now - *lastShownAt_ < minGap_) return std::nullopt;
    return Show(*pending_, now);
}

std::optional<int64_t> NotificationGate::NextDue() const {
    if (!pending_ || !lastShownAt_) return std::nullopt;
    return *lastShownAt_ + minGap_;
}
