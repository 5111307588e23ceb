// The UPS-MIB (RFC 1628) of one unit as plain data: the unit's NUT variables scaled as the MIB's
// UNITS say, the alarm table with its ids and times, the notifications its changes call for, and
// the objects in OID order as an agent serves them. Knows nothing of net-snmp, so that all of it
// is tested without an snmpd.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "daemon/ups_variables.h"

namespace snmp {

using Oid = std::vector<uint32_t>;
// TimeTicks: hundredths of a second of the master agent's sysUpTime.
using Ticks = uint32_t;

// upsMIB, upsObjects and the well-known alarms, notifications and objects under them.
const Oid& UpsMib();         // 1.3.6.1.2.1.33
const Oid& UpsObjects();     // upsMIB.1
Oid AlarmOid(int alarm);     // upsWellKnownAlarms.alarm
Oid TrapOid(int kind);       // upsTraps.kind

// The last arc of each well-known alarm this agent raises.
enum Alarm : int {
    kBatteryBad = 1,
    kOnBattery = 2,
    kLowBattery = 3,
    kTempBad = 5,
    kOutputOverload = 8,
    kOnBypass = 9,
    kUpsOutputOff = 14,
    kGeneralFault = 18,
    kCommunicationsLost = 20,
    kTestInProgress = 24,
};

// What the variables do not tell.
struct UnitFacts {
    std::string name, description;  // upsIdentName, upsIdentAttachedDevices
    bool stale = true;              // no current data from the unit
};

// One unit's values, each in the MIB's own unit; an empty optional is an object not served.
struct MibValues {
    std::string manufacturer, model, upsSoftware, agentSoftware, name, attachedDevices;
    int batteryStatus = 1;  // unknown(1), batteryNormal(2), batteryLow(3)
    int outputSource = 1;   // other(1), none(2), normal(3), bypass(4), battery(5)
    std::optional<long> minutesRemaining, chargeRemaining;
    std::optional<long> batteryVoltage;      // 0.1 V DC
    std::optional<long> batteryCurrent;      // 0.1 A DC
    std::optional<long> batteryTemperature;  // degrees C
    std::optional<long> inputFrequency;      // 0.1 Hz
    std::optional<long> inputVoltage;        // V
    std::optional<long> outputFrequency;     // 0.1 Hz
    std::optional<long> outputVoltage;       // V
    std::optional<long> outputCurrent;       // 0.1 A
    std::optional<long> outputPower;         // W
    std::optional<long> outputLoad;          // percent, 0 to 200
    std::optional<long> configInputVoltage, configOutputVA, configOutputPower;
    std::optional<long> configLowBattTime;   // minutes
    std::vector<int> alarms;                 // well-known alarm arcs, ascending
    bool operator==(const MibValues&) const = default;
};

// The unit's variables (as BuildVariables gives them, sorted by name) as the MIB's values.
MibValues MapUnit(const std::vector<nut::Variable>& variables, const UnitFacts& facts);

struct AlarmRow {
    int32_t id = 0;
    int alarm = 0;
    Ticks time = 0;
    bool operator==(const AlarmRow&) const = default;
};

struct Notification {
    enum Kind { kOnBattery = 1, kAlarmEntryAdded = 3, kAlarmEntryRemoved = 4 };
    Kind kind = kOnBattery;
    AlarmRow row;  // the entry added or removed
    bool operator==(const Notification&) const = default;
};

// The agent's memory between values: the alarm table, the time on battery, the count of
// transfers to battery and when the on-battery notification went last.
class UpsState {
public:
    explicit UpsState(int32_t firstId = 1) : nextId_(firstId) {}

    // New values at now; the notifications they call for, in the order to send them.
    std::vector<Notification> Update(const MibValues& values, Ticks now);
    // Time passing without news: the on-battery notification again each minute.
    std::vector<Notification> Tick(Ticks now);

    bool Started() const { return started_; }
    const MibValues& Values() const { return values_; }
    const std::vector<AlarmRow>& Alarms() const { return alarms_; }  // ascending id
    long SecondsOnBattery(Ticks now) const;
    uint32_t LineBads() const { return lineBads_; }

    static constexpr Ticks kOnBatteryRepeat = 6000;  // a minute

private:
    void Rebase(Ticks now);
    int32_t NextId();

    bool started_ = false;
    MibValues values_;
    std::vector<AlarmRow> alarms_;
    int32_t nextId_ = 1;
    bool onBattery_ = false;
    Ticks onBatterySince_ = 0;
    Ticks lastOnBatteryTrap_ = 0;
    Ticks lastNow_ = 0;
    uint32_t lineBads_ = 0;
};

// The served objects under upsObjects, ascending by OID; none before the first values.
struct MibEntry {
    enum Type { kInteger, kGauge, kCounter, kTimeTicks, kString, kObjectId };
    Oid oid;
    Type type = kInteger;
    long number = 0;
    std::string text;
    Oid objectId;
};
std::vector<MibEntry> BuildTable(const UpsState& state, Ticks now);

// The variable bindings RFC 1628 gives each notification (after sysUpTime and snmpTrapOID,
// which the agent library adds).
std::vector<MibEntry> NotificationObjects(const Notification& n, const UpsState& state, Ticks now);

// Holds notifications so that none of a kind goes out within five seconds of the last of that
// kind, as the MIB asks of agents, and while the master agent is away. Past the bound the
// oldest of a kind is dropped: the alarm table still tells the truth.
class TrapGate {
public:
    void Push(const Notification& n);
    std::vector<Notification> Due(int64_t nowMs);  // those that may go now, marked sent
    size_t Waiting() const;
    size_t Dropped() const { return dropped_; }

    static constexpr int64_t kGapMs = 5000;
    static constexpr size_t kMaxWaiting = 32;  // per kind

private:
    struct Lane {
        int kind = 0;
        std::deque<Notification> waiting;
        std::optional<int64_t> lastMs;
    };
    std::vector<Lane> lanes_;
    size_t dropped_ = 0;
};

}  // namespace snmp
