// What the tray icon says about the unit: its colour, and which changes earn a desktop
// notification. Repeats of one kind of event are held back for an interval, so a flapping unit
// does not flood the desktop; a new or more serious event is always told at once.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

enum class TrayCondition { OnLine, StandBy, OnBattery, Alarm, LinkLost };
enum class TrayColour { Green, Amber, Red };

// The state the user is told about: its condition and, for an alarm, which one.
struct TrayEvent {
    TrayCondition condition = TrayCondition::OnLine;
    QString detail;  // the alarm's state text, or "Low battery"; empty for the other conditions
    bool operator==(const TrayEvent&) const = default;
};

// From the state text the panel shows in the caption. batteryLow: the battery gauge is red
// (it turns a unit on battery into an alarm).
TrayCondition ClassifyState(const QString& stateText, bool batteryLow);
TrayEvent ClassifyEvent(const QString& stateText, bool batteryLow);
TrayColour ColourOf(TrayCondition condition);
// On battery, low battery, an alarm, the link lost: the user must act, the note stays up.
bool IsCritical(TrayCondition condition);
// Higher is worse.
int Severity(TrayCondition condition);

struct TrayNote {
    TrayEvent from;
    TrayEvent to;
    // Critical events held back as repeats since the last note: how many, since when (the
    // gate's clock) and the worst of them. Told with this note so no outage goes unreported.
    int missed = 0;
    int64_t missedSince = 0;
    TrayCondition worstMissed = TrayCondition::OnLine;
};
// The notification's title.
QString NoteTitle(const TrayNote& note);

// Which changes are shown, and when. The clock is the caller's (milliseconds).
// Shown at once: a change to a kind of event not shown within the last minGap (so a new or a
// more serious event is never held), and one that clears a critical condition. A repeat of a
// kind shown less than minGap ago is held; the latest held change is shown when that interval
// ends, and held critical events are counted into the next note even when the unit is back
// where it was, so no outage goes untold.
class NotificationGate {
public:
    NotificationGate(TrayEvent shown, int64_t minGapMsecs)
        : shown_(shown), current_(shown), minGap_(minGapMsecs) {}
    NotificationGate(TrayCondition shown, int64_t minGapMsecs)
        : NotificationGate(TrayEvent{shown, {}}, minGapMsecs) {}

    std::optional<TrayNote> Offer(const TrayEvent& event, int64_t now);
    std::optional<TrayNote> Offer(TrayCondition condition, int64_t now) {
        return Offer(TrayEvent{condition, {}}, now);
    }
    // The held change, once its interval has ended.
    std::optional<TrayNote> Due(int64_t now);
    // When Due will have something to show; empty when nothing is held.
    std::optional<int64_t> NextDue() const;

    const TrayEvent& shown() const { return shown_; }

private:
    std::optional<TrayNote> Show(const TrayEvent& event, int64_t now);
    std::optional<int64_t> LastShown(const TrayEvent& event) const;

    TrayEvent shown_;    // what the user last saw
    TrayEvent current_;  // the unit's state at the last offer
    std::optional<TrayEvent> pending_;
    int missed_ = 0;
    int64_t missedSince_ = 0;
    int64_t heldSince_ = 0;  // when the held change began
    TrayCondition worstMissed_ = TrayCondition::OnLine;
    // When each kind was last shown. Bounded: the kinds are the conditions and the alarm texts.
    std::vector<std::pair<TrayEvent, int64_t>> lastShown_;
    int64_t minGap_;
};
