// What the tray icon says about the unit: its colour, and which changes earn a desktop
// notification. A critical event (on battery, low battery, an alarm, the link lost) is told at
// once, every time; only repeats of a non-critical kind and a unit really flapping are folded
// into a summary, so a flapping unit does not flood the desktop.
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
    // Critical events folded since the last note that have ended: how many, since when (the
    // gate's clock) and the worst of them. Told with this note so no outage goes unreported.
    int missed = 0;
    int64_t missedSince = 0;
    TrayCondition worstMissed = TrayCondition::OnLine;
};
// The notification's title.
QString NoteTitle(const TrayNote& note);

// Which changes are shown, and when. The clock is the caller's (milliseconds).
// Shown at once: a critical event and one that clears a critical condition, unless the unit is
// flapping (more than kFlapChanges changes within kFlapWindowMsecs, this one back to a state seen
// among them); any other change to a kind of event not shown within the last minGap. Everything else is held, and the latest held change
// is shown summaryMsecs after the first one was held, with the held critical events counted into
// it even when the unit is back where it was, so no outage goes untold.
class NotificationGate {
public:
    static constexpr int kFlapChanges = 3;
    static constexpr int64_t kFlapWindowMsecs = 10000;

    NotificationGate(TrayEvent shown, int64_t minGapMsecs, int64_t summaryMsecs = 10000)
        : shown_(shown), current_(shown), minGap_(minGapMsecs), summary_(summaryMsecs) {}
    NotificationGate(TrayCondition shown, int64_t minGapMsecs, int64_t summaryMsecs = 10000)
        : NotificationGate(TrayEvent{shown, {}}, minGapMsecs, summaryMsecs) {}

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
    int64_t currentSince_ = 0;
    bool currentFolded_ = false;  // the present state began while changes were being folded
    std::optional<TrayEvent> pending_;
    std::optional<int64_t> foldingSince_;  // the first change folded since the last note
    int missed_ = 0;
    int64_t missedSince_ = 0;
    TrayCondition worstMissed_ = TrayCondition::OnLine;
    // When each kind was last shown. Bounded: the kinds are the conditions and the alarm texts.
    std::vector<std::pair<TrayEvent, int64_t>> lastShown_;
    std::vector<std::pair<int64_t, TrayEvent>> changes_;  // the unit's changes within the flapping window
    int64_t minGap_;
    int64_t summary_;
};
