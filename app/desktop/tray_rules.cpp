#include "app/desktop/tray_rules.h"

#include <algorithm>

namespace {
bool OnBatteryText(const QString& s) {
    return s == QLatin1String("On_Battery") || s == QLatin1String("Battery_Starting_pre_PFC") ||
           s == QLatin1String("Battery_Starting_PFC");
}
}  // namespace

TrayCondition ClassifyState(const QString& stateText, bool batteryLow) {
    const QString s = stateText.trimmed();
    if (s == QLatin1String("Timeout")) return TrayCondition::LinkLost;
    // The load runs from the line, also through the bypass or in ECO mode.
    if (s.startsWith(QLatin1String("On_Line")) || s == QLatin1String("Bypass or Eco Mode"))
        return TrayCondition::OnLine;
    if (OnBatteryText(s)) return batteryLow ? TrayCondition::Alarm : TrayCondition::OnBattery;
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

TrayEvent ClassifyEvent(const QString& stateText, bool batteryLow) {
    TrayEvent event{ClassifyState(stateText, batteryLow), {}};
    if (event.condition == TrayCondition::Alarm) {
        const QString s = stateText.trimmed();
        event.detail = OnBatteryText(s) ? QStringLiteral("Low battery") : s;
    }
    return event;
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

bool IsCritical(TrayCondition condition) {
    return condition == TrayCondition::OnBattery || condition == TrayCondition::Alarm ||
           condition == TrayCondition::LinkLost;
}

int Severity(TrayCondition condition) {
    switch (condition) {
    case TrayCondition::OnLine: return 0;
    case TrayCondition::StandBy: return 1;
    case TrayCondition::OnBattery: return 2;
    case TrayCondition::LinkLost: return 3;
    case TrayCondition::Alarm: return 4;
    }
    return 4;
}

QString NoteTitle(const TrayNote& note) {
    if (note.from.condition == TrayCondition::LinkLost && note.to.condition != TrayCondition::LinkLost)
        return QStringLiteral("UPS link back");
    switch (note.to.condition) {
    case TrayCondition::OnLine: return QStringLiteral("UPS on line");
    case TrayCondition::StandBy: return QStringLiteral("UPS in stand-by");
    case TrayCondition::OnBattery: return QStringLiteral("UPS on battery");
    case TrayCondition::Alarm:
        return note.to.detail == QLatin1String("Low battery") ? QStringLiteral("UPS battery low")
                                                              : QStringLiteral("UPS alarm");
    case TrayCondition::LinkLost: return QStringLiteral("UPS link lost");
    }
    return {};
}

std::optional<int64_t> NotificationGate::LastShown(const TrayEvent& event) const {
    for (const auto& [kind, at] : lastShown_)
        if (kind == event) return at;
    return std::nullopt;
}

std::optional<TrayNote> NotificationGate::Show(const TrayEvent& event, int64_t now) {
    TrayNote note{shown_, event, missed_, missedSince_, worstMissed_};
    shown_ = event;
    pending_.reset();
    foldingSince_.reset();
    missed_ = 0;
    if (event == current_) currentFolded_ = false;
    auto it = std::find_if(lastShown_.begin(), lastShown_.end(),
                           [&](const auto& entry) { return entry.first == event; });
    if (it != lastShown_.end())
        it->second = now;
    else
        lastShown_.emplace_back(event, now);
    return note;
}

std::optional<TrayNote> NotificationGate::Offer(const TrayEvent& event, int64_t now) {
    if (event == current_) return std::nullopt;
    if (currentFolded_ && IsCritical(current_.condition)) {
        // A critical state that came and went while changes were folded: the summary counts it.
        if (!missed_ || Severity(current_.condition) > Severity(worstMissed_))
            worstMissed_ = current_.condition;
        if (!missed_) missedSince_ = currentSince_;
        ++missed_;
    }
    current_ = event;
    currentSince_ = now;
    changes_.erase(changes_.begin(), std::find_if(changes_.begin(), changes_.end(), [&](const auto& change) {
                       return change.first > now - kFlapWindowMsecs;
                   }));
    // Escalating through new states is news; coming back to one seen moments ago is flapping.
    const bool repeat = std::any_of(changes_.begin(), changes_.end(), [&](const auto& c) { return c.second == event; });
    changes_.emplace_back(now, event);
    const bool flapping = repeat && int(changes_.size()) > kFlapChanges;
    // Clearing a critical note is never held either: the note would stand for a state that is over.
    const bool clears = IsCritical(shown_.condition) && !IsCritical(event.condition);
    const auto last = LastShown(event);
    if (!(event == shown_) && !flapping &&
        (IsCritical(event.condition) || clears || !last || now - *last >= minGap_))
        return Show(event, now);
    if (!foldingSince_) foldingSince_ = now;
    currentFolded_ = true;
    // Back where the user last saw it with nothing missed: nothing left to tell.
    if (event == shown_ && !missed_)
        pending_.reset();
    else
        pending_ = event;
    return std::nullopt;
}

std::optional<TrayNote> NotificationGate::Due(int64_t now) {
    const auto due = NextDue();
    if (!due || now < *due) return std::nullopt;
    return Show(*pending_, now);
}

std::optional<int64_t> NotificationGate::NextDue() const {
    if (!pending_ || !foldingSince_) return std::nullopt;
    return *foldingSince_ + summary_;
}
