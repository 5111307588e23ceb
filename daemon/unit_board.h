// The units as the server shows them: per unit its NUT name, the variables of its newest
// snapshot (with the LIST VAR reply ready made), whether its data is stale, the FSD latch and who
// has logged in. Lives on the server's thread; the link only reaches it through refreshes.
#pragma once

#include <QtGlobal>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <functional>
#include <unordered_map>
#include <vector>

#include "daemon/battery_settings.h"
#include "daemon/nut/command_tracking.h"
#include "daemon/daemon_config.h"
#include "daemon/ups_variables.h"

namespace nut {

// Lets a variable be looked up by a string_view without building a string first.
struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
};

class UnitBoard {
public:
    struct Unit {
        int device = 0;
        std::string name;
        std::string description;
        bool present = false;
        bool fsd = false;
        bool haveStatus = false;  // a good status reply has come since start
        bool linkLost = true;     // the record shows "Timeout"
        qint64 lastRefreshMs = 0;
        int comPort = 0;
        int inputVoltageNominal = 0;  // from the settings; 0: not served
        std::vector<Variable> variables;
        std::unordered_map<std::string, size_t, NameHash, std::equal_to<>> index;
        std::string listVarReply;
        std::multimap<std::string, const void*> logins;  // peer address -> the session
        std::unique_ptr<_ZozeUps> last;
        BatteryTracker battery;
        BatteryView batteryView;
        bool batteryLoaded = false;  // the learned model has been looked for
    };

    // Queues work on the link; KeybCommand by default, something else in tests.
    using QueueFn = int (*)(int type, int device, int value, int fourth);

    explicit UnitBoard(const DaemonConfig& config, QueueFn queue = nullptr);

    // Serve battery.charge, battery.runtime and their thresholds, learning into config.stateDir.
    void SetBattery(const BatteryConfig& config);
    QString BatteryStatePath(const Unit& unit) const;
    // Unit names, descriptions and the stale limit from the settings (again, after a reload).
    void Configure(const DaemonConfig& config);

    void SetPresent(int device, bool present, int comPort);
    // A new snapshot of a present unit, taken after a refresh from the link.
    void Update(int device, const _ZozeUps& snapshot, qint64 nowMs);
    void SetFsd(Unit* unit);

    Unit* Find(std::string_view name);
    const Unit& UnitAt(int device) const { return units_[device]; }
    const std::vector<Unit*>& PresentUnits() const { return presentUnits_; }
    bool IsStale(const Unit& unit, qint64 nowMs) const;
    const Variable* FindVariable(const Unit& unit, std::string_view name) const;

    int Queue(int type, int device, int value) const;
    // Instant commands followed for clients with tracking on; tests may count outcomes themselves.
    CommandTracker& Tracking() { return tracking_; }
    void SetOutcomes(CommandTracker::OutcomeFn outcomes) { tracking_ = CommandTracker(outcomes); }

    // What clients did that belongs in the event history (logins, FSD, instant commands).
    using EventFn = std::function<void(const std::string& unit, const char* kind, const std::string& text,
                                       const std::string& user, const std::string& peer)>;
    void SetEventSink(EventFn sink) { events_ = std::move(sink); }
    void Note(const std::string& unit, const char* kind, const std::string& text, const std::string& user,
              const std::string& peer) const {
        if (events_) events_(unit, kind, text, user, peer);
    }

private:
    void Rebuild(Unit* unit);
    void TrackBattery(Unit* unit, qint64 nowMs);

    Unit units_[4];
    std::vector<Unit*> presentUnits_;
    qint64 staleAfterMs_;
    QueueFn queue_;
    CommandTracker tracking_;
    bool haveBattery_ = false;
    BatteryConfig battery_;
    EventFn events_;
};

}  // namespace nut
