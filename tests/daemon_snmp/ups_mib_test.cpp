// The UPS-MIB as plain data: a unit's record through its NUT variables into the MIB's scales,
// sources and alarms; the alarm table's ids, times and notifications; the objects in OID order;
// the five-second spacing of notifications.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#include "daemon/snmp/snmp_bridge.h"
#include "daemon/snmp/ups_mib.h"
#include "daemon/ups_variables.h"

using namespace snmp;

namespace {

// On line and charging, four blocks, 5 kW: what the panel would show.
std::unique_ptr<_ZozeUps> Unit(int stateCode = 2) {
    auto u = std::make_unique<_ZozeUps>();
    std::memset(u.get(), 0, sizeof *u);
    UpsStatusBlock& s = u->status;
    s.stateCode = uint16_t(stateCode);
    s.flags12 = 0x0200;
    s.batteryVoltage = 54.35;
    s.currentUnits = 4;
    s.powerUnits = 1;
    s.powerPercent = 21;
    s.batteryTemperature = 25.4;
    s.inverterTemperature = 45;
    s.caseTemperature = 30;
    s.internalVoltage1 = 140;
    s.inputVoltage = 230.6;
    s.inputFrequency = 50.06;
    s.outputVoltage = 229.5;
    s.outputCurrent = 6.04;
    s.outputFrequency = 49.96;
    s.outputPower = 1020.4;
    s.ccbStatus = 1;
    u->auxWord[1] = -3;  // the battery's current comes with the auxiliary answer
    std::strcpy(u->stateText, "On_Line");
    std::strcpy(u->firmwareVersion, "1.04");
    return u;
}

std::vector<nut::Variable> Variables(const _ZozeUps& u) { return nut::BuildVariables(u, false, 1); }

void Set(std::vector<nut::Variable>* vars, const std::string& name, const std::string& value) {
    const auto at = std::lower_bound(vars->begin(), vars->end(), name,
                                     [](const nut::Variable& v, const std::string& n) { return v.name < n; });
    if (at != vars->end() && at->name == name) at->value = value;
    else vars->insert(at, {name, value});
}

MibValues Map(const std::vector<nut::Variable>& vars, bool stale = false) {
    return MapUnit(vars, UnitFacts{"vespero0", "Server room", stale});
}

MibValues WithAlarms(std::vector<int> alarms, int source = 3) {
    MibValues v;
    v.outputSource = source;
    v.alarms = std::move(alarms);
    return v;
}

const MibEntry* Entry(const std::vector<MibEntry>& table, Oid oid) {
    for (const MibEntry& e : table)
        if (e.oid == oid) return &e;
    return nullptr;
}

Oid Obj(std::initializer_list<uint32_t> arcs) {
    Oid o = UpsObjects();
    o.insert(o.end(), arcs);
    return o;
}

}  // namespace

TEST(UpsMibMapping, ScalesFollowTheMibUnits) {
    std::vector<nut::Variable> vars = Variables(*Unit());
    Set(&vars, "battery.runtime", "4397");
    Set(&vars, "battery.charge", "87");
    Set(&vars, "battery.runtime.low", "90");
    Set(&vars, "input.voltage.nominal", "230");
    const MibValues m = Map(vars);
    EXPECT_EQ(m.batteryVoltage, 544);      // 54.35 V in 0.1 V (the variable says 54.4)
    EXPECT_EQ(m.batteryCurrent, -30);      // -3 A in 0.1 A, signed
    EXPECT_EQ(m.batteryTemperature, 25);   // whole degrees
    EXPECT_EQ(m.inputFrequency, 501);      // 0.1 Hz
    EXPECT_EQ(m.inputVoltage, 231);        // whole volts
    EXPECT_EQ(m.outputFrequency, 500);
    EXPECT_EQ(m.outputVoltage, 230);       // 229.5 rounds up
    EXPECT_EQ(m.outputCurrent, 60);        // 0.1 A
    EXPECT_EQ(m.outputPower, 1020);        // W
    EXPECT_EQ(m.outputLoad, 21);           // percent
    EXPECT_EQ(m.minutesRemaining, 73);     // 4397 s, whole minutes down
    EXPECT_EQ(m.chargeRemaining, 87);
    EXPECT_EQ(m.configLowBattTime, 2);     // 90 s, rounded up to whole minutes
    EXPECT_EQ(m.configInputVoltage, 230);
    EXPECT_EQ(m.configOutputVA, 5000);
    EXPECT_EQ(m.configOutputPower, 5000);
    EXPECT_EQ(m.manufacturer, "Tralvane");
    EXPECT_EQ(m.upsSoftware, "1.04");
    EXPECT_EQ(m.name, "vespero0");
    EXPECT_EQ(m.attachedDevices, "Server room");
    EXPECT_EQ(m.agentSoftware.rfind("vesperod ", 0), 0u);

    // The ranges of the MIB's types: under a minute is still a PositiveInteger, a load past
    // twice the rating is 200, a charge or a voltage never below zero.
    Set(&vars, "battery.runtime", "30");
    Set(&vars, "ups.load", "250");
    Set(&vars, "battery.charge", "-4");
    Set(&vars, "battery.voltage", "-1.0");
    const MibValues edge = Map(vars);
    EXPECT_EQ(edge.minutesRemaining, 1);
    EXPECT_EQ(edge.outputLoad, 200);
    EXPECT_EQ(edge.chargeRemaining, 0);
    EXPECT_EQ(edge.batteryVoltage, 0);

    // A value a client could not parse is left out, not served as zero.
    Set(&vars, "input.voltage", "n/a");
    EXPECT_FALSE(Map(vars).inputVoltage);
    // Unknown estimate and nominal: not served.
    const MibValues bare = Map(Variables(*Unit()));
    EXPECT_FALSE(bare.minutesRemaining || bare.chargeRemaining || bare.configLowBattTime || bare.configInputVoltage);
}

TEST(UpsMibMapping, IdentityTextsKeepTheirSizesAndWholeCharacters) {
    std::vector<nut::Variable> vars = Variables(*Unit());
    Set(&vars, "ups.mfr", std::string(40, 'M'));
    Set(&vars, "ups.model", std::string(62, 'x') + "\xc3\xa9");  // é across octets 63 and 64
    const MibValues m = MapUnit(vars, UnitFacts{"vespero0", std::string(70, 'd'), false});
    EXPECT_EQ(m.manufacturer.size(), 31u);  // DisplayString (SIZE (0..31))
    EXPECT_EQ(m.model, std::string(62, 'x'));
    EXPECT_EQ(m.attachedDevices.size(), 63u);
}

TEST(UpsMibMapping, StatusSourceAndAlarmsFollowTheUnitsState) {
    struct Case {
        const char* what;
        int stateCode;
        void (*change)(_ZozeUps*);
        int batteryStatus, source;
        std::vector<int> alarms;
    };
    const Case cases[] = {
        {"on line", 2, [](_ZozeUps*) {}, 2, 3, {}},
        {"on battery", 18, [](_ZozeUps*) {}, 2, 5, {kOnBattery}},
        {"on battery, low", 18, [](_ZozeUps* u) { u->status.batteryVoltage = 40; }, 3, 5, {kOnBattery, kLowBattery}},
        {"bypass", 4, [](_ZozeUps*) {}, 2, 4, {kOnBypass}},
        {"stand-by: no output", 3, [](_ZozeUps*) {}, 2, 2, {kUpsOutputOff}},
        {"overload", 2, [](_ZozeUps* u) { u->status.powerPercent = 120; }, 2, 3, {kOutputOverload}},
        {"hot battery", 2, [](_ZozeUps* u) { u->status.batteryTemperature = 45; }, 2, 3, {kTempBad}},
        {"hot battery and high VHP", 2,
         [](_ZozeUps* u) { u->status.batteryTemperature = 45, u->status.internalVoltage1 = 170; }, 2, 3,
         {kTempBad, kGeneralFault}},
        {"a state code nobody knows", 99, [](_ZozeUps*) {}, 2, 1, {kGeneralFault}},
    };
    for (const Case& c : cases) {
        auto u = Unit(c.stateCode);
        c.change(u.get());
        const MibValues m = Map(Variables(*u));
        EXPECT_EQ(m.batteryStatus, c.batteryStatus) << c.what;
        EXPECT_EQ(m.outputSource, c.source) << c.what;
        EXPECT_EQ(m.alarms, c.alarms) << c.what;
    }
    // Out of reach, the last readings stay and communications lost joins the alarms.
    const MibValues stale = Map(Variables(*Unit(18)), true);
    EXPECT_EQ(stale.outputSource, 5);
    EXPECT_EQ(stale.alarms, (std::vector<int>{kOnBattery, kCommunicationsLost}));
    // Never heard from: nothing but that.
    const MibValues none = Map({}, true);
    EXPECT_EQ(none.batteryStatus, 1);
    EXPECT_EQ(none.outputSource, 1);
    EXPECT_EQ(none.alarms, (std::vector<int>{kCommunicationsLost}));
    EXPECT_FALSE(none.batteryVoltage);
}

TEST(UpsMibAlarmTable, RowsNotificationsAndTimesFollowTheConditions) {
    UpsState s;
    // At the agent's start the condition was already there: time zero, and announced.
    auto n = s.Update(WithAlarms({kLowBattery}), 500);
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(n[0], (Notification{Notification::kAlarmEntryAdded, {1, kLowBattery, 0}}));

    // Going on battery: the alarm row is added without an entry notification, and
    // upsTrapOnBattery goes instead.
    n = s.Update(WithAlarms({kOnBattery, kLowBattery}, 5), 1000);
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(n[0].kind, Notification::kOnBattery);
    ASSERT_EQ(s.Alarms().size(), 2u);
    EXPECT_EQ(s.Alarms()[1], (AlarmRow{2, kOnBattery, 1000}));
    EXPECT_EQ(s.SecondsOnBattery(3550), 25);
    EXPECT_EQ(s.LineBads(), 1u);

    // Each minute on battery the notification again, not sooner.
    EXPECT_TRUE(s.Tick(1000 + UpsState::kOnBatteryRepeat - 1).empty());
    n = s.Tick(1000 + UpsState::kOnBatteryRepeat);
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(n[0].kind, Notification::kOnBattery);
    // Not while the unit is out of reach: nobody knows it is still on battery.
    s.Update(WithAlarms({kOnBattery, kLowBattery, kCommunicationsLost}, 5), 7100);
    EXPECT_TRUE(s.Tick(1000 + 3 * UpsState::kOnBatteryRepeat).empty());

    // Back on line: both rows leave with a notification each, the ids stay as they were.
    n = s.Update(WithAlarms({}), 20000);
    ASSERT_EQ(n.size(), 3u);
    EXPECT_EQ(n[0], (Notification{Notification::kAlarmEntryRemoved, {1, kLowBattery, 0}}));
    EXPECT_EQ(n[1], (Notification{Notification::kAlarmEntryRemoved, {2, kOnBattery, 1000}}));
    EXPECT_EQ(n[2].kind, Notification::kAlarmEntryRemoved);
    EXPECT_EQ(n[2].row.alarm, kCommunicationsLost);
    EXPECT_TRUE(s.Alarms().empty());
    EXPECT_EQ(s.SecondsOnBattery(20000), 0);
    // The next row takes the next id; a second transfer counts as a second line bad.
    n = s.Update(WithAlarms({kOnBattery}, 5), 21000);
    EXPECT_EQ(s.Alarms()[0].id, 4);
    EXPECT_EQ(s.LineBads(), 2u);
    // The same values again: nothing to tell.
    EXPECT_TRUE(s.Update(WithAlarms({kOnBattery}, 5), 21100).empty());
}

TEST(UpsMibAlarmTable, AMasterRestartZeroesEarlierTimesAndIdsWrapToFreeOnes) {
    UpsState s;
    s.Update(WithAlarms({}), 100);
    s.Update(WithAlarms({kTempBad, kOnBattery}, 5), 90000);
    // snmpd restarted: its sysUpTime begins again below the times recorded.
    s.Tick(300);
    for (const AlarmRow& r : s.Alarms()) EXPECT_EQ(r.time, 0u);
    EXPECT_EQ(s.SecondsOnBattery(1300), 13);  // since the restart at most
    EXPECT_TRUE(s.Tick(400).empty());         // and no burst of on-battery notices

    // Past the largest PositiveInteger the ids start again from 1, skipping those in use.
    UpsState w(std::numeric_limits<int32_t>::max());
    w.Update(WithAlarms({kTempBad}), 0);
    EXPECT_EQ(w.Alarms()[0].id, std::numeric_limits<int32_t>::max());
    w.Update(WithAlarms({kGeneralFault, kTempBad}), 10);
    EXPECT_EQ(w.Alarms()[0], (AlarmRow{1, kGeneralFault, 10}));
    w.Update(WithAlarms({kGeneralFault, kTempBad, kOnBypass}), 20);
    EXPECT_EQ(w.Alarms()[1].id, 2);
}

TEST(UpsMibTable, ObjectsAreInStrictOidOrderWithTheirTypes) {
    UpsState s;
    EXPECT_TRUE(BuildTable(s, 0).empty());  // nothing served before the first values
    std::vector<nut::Variable> vars = Variables(*Unit(18));
    Set(&vars, "battery.runtime", "600");
    Set(&vars, "battery.runtime.low", "300");
    s.Update(Map(vars), 0);
    s.Update(MapUnit(Variables(*Unit(18)), UnitFacts{"vespero0", "", false}), 100);  // estimate gone
    s.Update(Map(vars), 4200);
    const std::vector<MibEntry> t = BuildTable(s, 5200);
    for (size_t i = 1; i < t.size(); ++i)
        EXPECT_TRUE(std::lexicographical_compare(t[i - 1].oid.begin(), t[i - 1].oid.end(), t[i].oid.begin(), t[i].oid.end()))
            << "entry " << i;
    for (const MibEntry& e : t) EXPECT_TRUE(std::equal(UpsObjects().begin(), UpsObjects().end(), e.oid.begin()));

    EXPECT_EQ(Entry(t, Obj({4, 1, 0}))->number, 5);                       // upsOutputSource battery
    EXPECT_EQ(Entry(t, Obj({2, 2, 0}))->number, 52);                      // upsSecondsOnBattery
    EXPECT_EQ(Entry(t, Obj({2, 3, 0}))->number, 10);                      // upsEstimatedMinutesRemaining
    EXPECT_EQ(Entry(t, Obj({3, 1, 0}))->type, MibEntry::kCounter);        // upsInputLineBads
    EXPECT_EQ(Entry(t, Obj({3, 3, 1, 3, 1}))->number, 231);               // upsInputVoltage.1
    EXPECT_EQ(Entry(t, Obj({4, 4, 1, 3, 1}))->number, 60);                // upsOutputCurrent.1
    EXPECT_EQ(Entry(t, Obj({6, 1, 0}))->type, MibEntry::kGauge);          // upsAlarmsPresent
    EXPECT_EQ(Entry(t, Obj({6, 1, 0}))->number, 1);
    const MibEntry* descr = Entry(t, Obj({6, 2, 1, 2, 1}));               // upsAlarmDescr.1
    ASSERT_NE(descr, nullptr);
    EXPECT_EQ(descr->objectId, AlarmOid(kOnBattery));
    EXPECT_EQ(descr->objectId, (Oid{1, 3, 6, 1, 2, 1, 33, 1, 6, 3, 2}));
    EXPECT_EQ(Entry(t, Obj({6, 2, 1, 3, 1}))->type, MibEntry::kTimeTicks);  // upsAlarmTime.1
    EXPECT_EQ(Entry(t, Obj({6, 2, 1, 1, 1})), nullptr);                    // upsAlarmId: not accessible
    EXPECT_EQ(Entry(t, Obj({9, 7, 0}))->number, 5);                        // upsConfigLowBattTime
    EXPECT_EQ(Entry(t, Obj({1, 6, 0}))->type, MibEntry::kString);
}

TEST(UpsMibNotifications, CarryTheObjectsTheMibNames) {
    UpsState s;
    std::vector<nut::Variable> vars = Variables(*Unit(18));
    Set(&vars, "battery.runtime", "600");
    Set(&vars, "battery.runtime.low", "300");
    s.Update(Map(vars), 1000);
    EXPECT_EQ(TrapOid(Notification::kOnBattery), (Oid{1, 3, 6, 1, 2, 1, 33, 2, 1}));
    EXPECT_EQ(TrapOid(Notification::kAlarmEntryRemoved), (Oid{1, 3, 6, 1, 2, 1, 33, 2, 4}));
    const auto onBattery = NotificationObjects({Notification::kOnBattery, {}}, s, 4000);
    ASSERT_EQ(onBattery.size(), 3u);  // upsEstimatedMinutesRemaining, upsSecondsOnBattery, upsConfigLowBattTime
    EXPECT_EQ(onBattery[0].oid, Obj({2, 3, 0}));
    EXPECT_EQ(onBattery[0].number, 10);
    EXPECT_EQ(onBattery[1].oid, Obj({2, 2, 0}));
    EXPECT_EQ(onBattery[1].number, 30);
    EXPECT_EQ(onBattery[2].oid, Obj({9, 7, 0}));
    const auto added = NotificationObjects({Notification::kAlarmEntryAdded, {7, kLowBattery, 1000}}, s, 4000);
    ASSERT_EQ(added.size(), 2u);  // upsAlarmId, upsAlarmDescr, each of row 7
    EXPECT_EQ(added[0].oid, Obj({6, 2, 1, 1, 7}));
    EXPECT_EQ(added[0].number, 7);
    EXPECT_EQ(added[1].oid, Obj({6, 2, 1, 2, 7}));
    EXPECT_EQ(added[1].objectId, AlarmOid(kLowBattery));
}

TEST(UpsMibTrapGate, OneOfAKindEachFiveSecondsNothingLostWithinTheBound) {
    TrapGate g;
    const Notification a{Notification::kAlarmEntryAdded, {1, kTempBad, 0}};
    const Notification b{Notification::kAlarmEntryAdded, {2, kOutputOverload, 0}};
    const Notification r{Notification::kAlarmEntryRemoved, {1, kTempBad, 0}};
    g.Push(a);
    g.Push(b);
    g.Push(r);
    auto due = g.Due(0);
    ASSERT_EQ(due.size(), 2u);  // one of each kind at once
    EXPECT_EQ(due[0], a);
    EXPECT_EQ(due[1], r);
    EXPECT_TRUE(g.Due(TrapGate::kGapMs - 1).empty());
    due = g.Due(TrapGate::kGapMs);
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0], b);
    EXPECT_EQ(g.Waiting(), 0u);

    // A flapping condition: past the bound the oldest go, and the count says so.
    for (int i = 0; i < int(TrapGate::kMaxWaiting) + 3; ++i) g.Push({Notification::kAlarmEntryRemoved, {i + 10, kTempBad, 0}});
    EXPECT_EQ(g.Waiting(), TrapGate::kMaxWaiting);
    EXPECT_EQ(g.Dropped(), 3u);
    EXPECT_EQ(g.Due(2 * TrapGate::kGapMs)[0].row.id, 13);
    // On-battery notices waiting are one: a second says nothing new.
    g.Push({Notification::kOnBattery, {}});
    g.Push({Notification::kOnBattery, {}});
    EXPECT_EQ(g.Waiting(), TrapGate::kMaxWaiting);
}

TEST(UpsMibUnit, OneUnitPerAgentTheFirstPresentOrTheNamedOne) {
    nut::DaemonConfig config;
    for (int i = 0; i < 4; ++i) config.unitName[i] = QStringLiteral("vespero%1").arg(i);
    nut::UnitBoard board(config);
    EXPECT_EQ(Bridge::Chosen(board, -1), nullptr);
    board.SetPresent(3, true, 4);
    board.SetPresent(1, true, 2);
    ASSERT_NE(Bridge::Chosen(board, -1), nullptr);
    EXPECT_EQ(Bridge::Chosen(board, -1)->device, 1);
    EXPECT_EQ(Bridge::Chosen(board, 3)->device, 3);
    EXPECT_EQ(Bridge::Chosen(board, 2), nullptr);  // named but absent: communications lost
}
