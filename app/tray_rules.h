// What the tray icon says about the unit: its colour, and which changes earn a desktop
// notification, at most one per interval so a flapping unit does not flood the desktop.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>

enum class TrayCondition { OnLine, StandBy, OnBattery, Alarm, LinkLost };
enum class TrayColour { Green, Amber, Red };

// From the state text the panel shows in the caption. batteryLow: the battery gauge is red
// (it turns a unit on battery into an alarm).
TrayCondition ClassifyState(const QString& stateText, bool batteryLow);
TrayColour ColourOf(TrayCondition condition);

struct TrayNote {
    TrayCondition from;
    TrayCondition to;
};
// The notification's title; its text names the state reached.
QString NoteTitle(const TrayNote& note);

// Which condition changes are shown, and when. The clock is the caller's (milliseconds).
// A change is shown at once when the last notification is at least minGap old; otherwise only
// the latest condition is kept, and shown when the interval ends unless the unit has come back
// to the condition last shown.
class NotificationGate {
public:
    NotificationGate(TrayCondition shown, int64_t minGapMsecs)
        : shown_(shown), minGap_(minGapMsecs) {}

    std::optional<TrayNote> Offer(TrayCondition condition, int64_t now);
    // The held change, once its interval has ended.
    std::optional<TrayNote> Due(int64_t now);
    // When Due will have something to show; empty when nothing is held.
    std::optional<int64_t> NextDue() const;

    TrayCondition shown() const { return shown_; }

private:
    std::optional<TrayNote> Show(TrayCondition condition, int64_t now);

    TrayCondition shown_;
    std::optional<TrayCondition> pending_;
    std::optional<int64_t> lastShownAt_;
    int64_t minGap_;
};
