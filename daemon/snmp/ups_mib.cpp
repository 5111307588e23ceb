#include "daemon/snmp/ups_mib.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace snmp {
namespace {

const Oid kUpsMib = {1, 3, 6, 1, 2, 1, 33};

Oid Under(const Oid& base, std::initializer_list<uint32_t> arcs) {
    Oid o = base;
    o.insert(o.end(), arcs);
    return o;
}

const std::string* Find(const std::vector<nut::Variable>& variables, std::string_view name) {
    const auto it = std::lower_bound(variables.begin(), variables.end(), name,
                                     [](const nut::Variable& v, std::string_view n) { return v.name < n; });
    return it != variables.end() && it->name == name ? &it->value : nullptr;
}

std::optional<double> Number(const std::vector<nut::Variable>& variables, std::string_view name) {
    const std::string* text = Find(variables, name);
    if (!text) return std::nullopt;
    double v = 0;
    const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), v);
    if (ec != std::errc() || end != text->data() + text->size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

// v times scale, rounded, within the range an Integer32 object holds.
std::optional<long> Scaled(std::optional<double> v, double scale, long low = std::numeric_limits<int32_t>::min(),
                           long high = std::numeric_limits<int32_t>::max()) {
    if (!v) return std::nullopt;
    return std::clamp<double>(std::round(*v * scale), double(low), double(high));
}

// A DisplayString of at most size octets, cut where a UTF-8 sequence begins.
std::string Display(const std::string* text, size_t size) {
    if (!text) return {};
    if (text->size() <= size) return *text;
    size_t n = size;
    while (n > 0 && (static_cast<unsigned char>((*text)[n]) & 0xC0) == 0x80) --n;
    return text->substr(0, n);
}

std::vector<std::string_view> Split(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> parts;
    while (!text.empty()) {
        const size_t at = text.find(separator);
        const std::string_view part = text.substr(0, at);
        if (!part.empty()) parts.push_back(part);
        if (at == std::string_view::npos) break;
        text.remove_prefix(at + separator.size());
    }
    return parts;
}

MibEntry Integer(Oid oid, long v, MibEntry::Type type = MibEntry::kInteger) {
    MibEntry e;
    e.oid = std::move(oid);
    e.type = type;
    e.number = v;
    return e;
}

MibEntry Text(Oid oid, std::string text) {
    MibEntry e;
    e.oid = std::move(oid);
    e.type = MibEntry::kString;
    e.text = std::move(text);
    return e;
}

MibEntry ObjectId(Oid oid, Oid value) {
    MibEntry e;
    e.oid = std::move(oid);
    e.type = MibEntry::kObjectId;
    e.objectId = std::move(value);
    return e;
}

// Changes the MIB sends no alarm notification for: going on battery has upsTrapOnBattery.
bool IsQuiet(int alarm, Notification::Kind kind) {
    if (alarm == kTestInProgress) return true;
    return kind == Notification::kAlarmEntryAdded && alarm == kOnBattery;  // upsTrapOnBattery says it
}

}  // namespace

const Oid& UpsMib() { return kUpsMib; }

const Oid& UpsObjects() {
    static const Oid o = Under(kUpsMib, {1});
    return o;
}

Oid AlarmOid(int alarm) { return Under(UpsObjects(), {6, 3, uint32_t(alarm)}); }
Oid TrapOid(int kind) { return Under(kUpsMib, {2, uint32_t(kind)}); }

MibValues MapUnit(const std::vector<nut::Variable>& vars, const UnitFacts& facts) {
    MibValues m;
    // DisplayString sizes of upsIdent.
    m.manufacturer = Display(Find(vars, "ups.mfr"), 31);
    m.model = Display(Find(vars, "ups.model"), 63);
    m.upsSoftware = Display(Find(vars, "ups.firmware"), 63);
    const std::string agent = "vesperod " + std::string(VESPERO_VERSION);
    m.agentSoftware = Display(&agent, 63);
    m.name = Display(&facts.name, 63);
    m.attachedDevices = Display(&facts.description, 63);

    const std::string* status = Find(vars, "ups.status");
    std::vector<std::string_view> words;
    if (status) words = Split(*status, " ");
    const auto has = [&](std::string_view w) { return std::find(words.begin(), words.end(), w) != words.end(); };

    if (has("LB")) m.batteryStatus = 3;
    else if (status) m.batteryStatus = 2;
    if (has("OB")) m.outputSource = 5;
    else if (has("BYPASS")) m.outputSource = 4;
    else if (has("OL")) m.outputSource = 3;
    else if (has("OFF")) m.outputSource = 2;

    // Whole minutes left, rounded down; PositiveInteger has no zero, so under a minute is 1.
    if (const auto runtime = Number(vars, "battery.runtime"))
        m.minutesRemaining = std::max<long>(1, long(std::clamp(*runtime, 0.0, 2e9) / 60));
    m.chargeRemaining = Scaled(Number(vars, "battery.charge"), 1, 0, 100);
    m.batteryVoltage = Scaled(Number(vars, "battery.voltage"), 10, 0);
    m.batteryCurrent = Scaled(Number(vars, "battery.current"), 10);
    m.batteryTemperature = Scaled(Number(vars, "battery.temperature"), 1);
    m.inputFrequency = Scaled(Number(vars, "input.frequency"), 10, 0);
    m.inputVoltage = Scaled(Number(vars, "input.voltage"), 1, 0);
    m.outputFrequency = Scaled(Number(vars, "output.frequency"), 10, 0);
    m.outputVoltage = Scaled(Number(vars, "output.voltage"), 1, 0);
    m.outputCurrent = Scaled(Number(vars, "output.current"), 10, 0);
    m.outputPower = Scaled(Number(vars, "ups.realpower"), 1, 0);
    m.outputLoad = Scaled(Number(vars, "ups.load"), 1, 0, 200);
    m.configInputVoltage = Scaled(Number(vars, "input.voltage.nominal"), 1, 0);
    m.configOutputVA = Scaled(Number(vars, "ups.power.nominal"), 1, 0);
    m.configOutputPower = Scaled(Number(vars, "ups.realpower.nominal"), 1, 0);
    // The runtime below which the battery counts as low, in minutes rounded up, as the MIB asks
    // of agents with discrete values.
    if (const auto low = Number(vars, "battery.runtime.low"))
        m.configLowBattTime = long(std::ceil(std::clamp(*low, 0.0, 2e9) / 60));

    if (has("OB")) m.alarms.push_back(kOnBattery);
    if (has("LB")) m.alarms.push_back(kLowBattery);
    if (has("RB")) m.alarms.push_back(kBatteryBad);
    if (has("OVER")) m.alarms.push_back(kOutputOverload);
    if (has("BYPASS")) m.alarms.push_back(kOnBypass);
    if (has("OFF")) m.alarms.push_back(kUpsOutputOff);
    if (const std::string* alarm = Find(vars, "ups.alarm")) {
        for (std::string_view item : Split(*alarm, "; ")) {
            const bool temperature = item.size() >= 8 && item.substr(item.size() - 8) == "[C] high";
            m.alarms.push_back(temperature ? kTempBad : kGeneralFault);
        }
    }
    if (facts.stale) m.alarms.push_back(kCommunicationsLost);
    std::sort(m.alarms.begin(), m.alarms.end());
    m.alarms.erase(std::unique(m.alarms.begin(), m.alarms.end()), m.alarms.end());
    return m;
}

int32_t UpsState::NextId() {
    // From 1 upwards, wrapping to the first free id past the largest PositiveInteger.
    for (;;) {
        const int32_t id = nextId_;
        nextId_ = nextId_ == std::numeric_limits<int32_t>::max() ? 1 : nextId_ + 1;
        if (std::none_of(alarms_.begin(), alarms_.end(), [id](const AlarmRow& r) { return r.id == id; })) return id;
    }
}

void UpsState::Rebase(Ticks now) {
    // The master agent restarted and its sysUpTime began again: whatever was detected before
    // predates it, which a TimeStamp shows as zero.
    if (now >= lastNow_) {
        lastNow_ = now;
        return;
    }
    for (AlarmRow& r : alarms_) r.time = 0;
    onBatterySince_ = 0;
    lastOnBatteryTrap_ = now;
    lastNow_ = now;
}

std::vector<Notification> UpsState::Update(const MibValues& given, Ticks now) {
    MibValues values = given;
    std::sort(values.alarms.begin(), values.alarms.end());
    values.alarms.erase(std::unique(values.alarms.begin(), values.alarms.end()), values.alarms.end());
    Rebase(now);
    const bool first = !started_;
    started_ = true;
    std::vector<Notification> out;
    // Conditions present when the agent starts presumably existed before it: time zero.
    const Ticks detected = first ? 0 : now;
    for (auto it = alarms_.begin(); it != alarms_.end();) {
        if (std::binary_search(values.alarms.begin(), values.alarms.end(), it->alarm)) {
            ++it;
            continue;
        }
        if (!IsQuiet(it->alarm, Notification::kAlarmEntryRemoved)) out.push_back({Notification::kAlarmEntryRemoved, *it});
        it = alarms_.erase(it);
    }
    for (int alarm : values.alarms) {
        if (std::any_of(alarms_.begin(), alarms_.end(), [alarm](const AlarmRow& r) { return r.alarm == alarm; })) continue;
        const AlarmRow row{NextId(), alarm, detected};
        alarms_.insert(std::upper_bound(alarms_.begin(), alarms_.end(), row,
                                        [](const AlarmRow& a, const AlarmRow& b) { return a.id < b.id; }),
                       row);
        if (!IsQuiet(alarm, Notification::kAlarmEntryAdded)) out.push_back({Notification::kAlarmEntryAdded, row});
    }
    const bool onBattery = values.outputSource == 5;
    values_ = std::move(values);
    if (onBattery && !onBattery_) {
        if (!first) ++lineBads_;
        onBatterySince_ = now;
        lastOnBatteryTrap_ = now;
        out.push_back({Notification::kOnBattery, {}});
    }
    onBattery_ = onBattery;
    for (const Notification& n : Tick(now)) out.push_back(n);
    return out;
}

std::vector<Notification> UpsState::Tick(Ticks now) {
    Rebase(now);
    // Resent each minute while on battery; not while the unit is out of reach, as nobody knows.
    const bool reachable = !std::binary_search(values_.alarms.begin(), values_.alarms.end(), int(kCommunicationsLost));
    if (!onBattery_ || !reachable || now - lastOnBatteryTrap_ < kOnBatteryRepeat) return {};
    lastOnBatteryTrap_ = now;
    return {{Notification::kOnBattery, {}}};
}

long UpsState::SecondsOnBattery(Ticks now) const {
    if (!onBattery_ || now < onBatterySince_) return 0;
    return long((now - onBatterySince_) / 100);
}

std::vector<MibEntry> BuildTable(const UpsState& state, Ticks now) {
    if (!state.Started()) return {};  // nothing is known before the first values
    const MibValues& v = state.Values();
    const Oid& o = UpsObjects();
    std::vector<MibEntry> t;
    const auto add = [&](std::initializer_list<uint32_t> arcs, const std::optional<long>& value) {
        if (value) t.push_back(Integer(Under(o, arcs), *value));
    };
    t.push_back(Text(Under(o, {1, 1, 0}), v.manufacturer));
    t.push_back(Text(Under(o, {1, 2, 0}), v.model));
    t.push_back(Text(Under(o, {1, 3, 0}), v.upsSoftware));
    t.push_back(Text(Under(o, {1, 4, 0}), v.agentSoftware));
    t.push_back(Text(Under(o, {1, 5, 0}), v.name));
    t.push_back(Text(Under(o, {1, 6, 0}), v.attachedDevices));

    t.push_back(Integer(Under(o, {2, 1, 0}), v.batteryStatus));
    t.push_back(Integer(Under(o, {2, 2, 0}), state.SecondsOnBattery(now)));
    add({2, 3, 0}, v.minutesRemaining);
    add({2, 4, 0}, v.chargeRemaining);
    add({2, 5, 0}, v.batteryVoltage);
    add({2, 6, 0}, v.batteryCurrent);
    add({2, 7, 0}, v.batteryTemperature);

    // One input and one output line, each a table row with index 1.
    t.push_back(Integer(Under(o, {3, 1, 0}), long(state.LineBads()), MibEntry::kCounter));
    t.push_back(Integer(Under(o, {3, 2, 0}), 1));
    add({3, 3, 1, 2, 1}, v.inputFrequency);
    add({3, 3, 1, 3, 1}, v.inputVoltage);

    t.push_back(Integer(Under(o, {4, 1, 0}), v.outputSource));
    add({4, 2, 0}, v.outputFrequency);
    t.push_back(Integer(Under(o, {4, 3, 0}), 1));
    add({4, 4, 1, 2, 1}, v.outputVoltage);
    add({4, 4, 1, 3, 1}, v.outputCurrent);
    add({4, 4, 1, 4, 1}, v.outputPower);
    add({4, 4, 1, 5, 1}, v.outputLoad);

    const std::vector<AlarmRow>& alarms = state.Alarms();
    t.push_back(Integer(Under(o, {6, 1, 0}), long(alarms.size()), MibEntry::kGauge));
    for (const AlarmRow& r : alarms) t.push_back(ObjectId(Under(o, {6, 2, 1, 2, uint32_t(r.id)}), AlarmOid(r.alarm)));
    for (const AlarmRow& r : alarms) t.push_back(Integer(Under(o, {6, 2, 1, 3, uint32_t(r.id)}), long(r.time), MibEntry::kTimeTicks));

    add({9, 1, 0}, v.configInputVoltage);
    add({9, 5, 0}, v.configOutputVA);
    add({9, 6, 0}, v.configOutputPower);
    add({9, 7, 0}, v.configLowBattTime);
    return t;
}

std::vector<MibEntry> NotificationObjects(const Notification& n, const UpsState& state, Ticks now) {
    const Oid& o = UpsObjects();
    std::vector<MibEntry> out;
    if (n.kind == Notification::kOnBattery) {
        const MibValues& v = state.Values();
        if (v.minutesRemaining) out.push_back(Integer(Under(o, {2, 3, 0}), *v.minutesRemaining));
        out.push_back(Integer(Under(o, {2, 2, 0}), state.SecondsOnBattery(now)));
        if (v.configLowBattTime) out.push_back(Integer(Under(o, {9, 7, 0}), *v.configLowBattTime));
        return out;
    }
    // upsAlarmId is not accessible: it travels as its own instance, the id as the value.
    out.push_back(Integer(Under(o, {6, 2, 1, 1, uint32_t(n.row.id)}), n.row.id));
    out.push_back(ObjectId(Under(o, {6, 2, 1, 2, uint32_t(n.row.id)}), AlarmOid(n.row.alarm)));
    return out;
}

void TrapGate::Push(const Notification& n) {
    auto lane = std::find_if(lanes_.begin(), lanes_.end(), [&](const Lane& l) { return l.kind == n.kind; });
    if (lane == lanes_.end()) {
        lanes_.push_back({n.kind, {}, std::nullopt});
        lane = lanes_.end() - 1;
    }
    // A second on-battery notice waiting says nothing the first does not.
    if (n.kind == Notification::kOnBattery && !lane->waiting.empty()) return;
    lane->waiting.push_back(n);
    if (lane->waiting.size() > kMaxWaiting) {
        lane->waiting.pop_front();
        ++dropped_;
    }
}

std::vector<Notification> TrapGate::Due(int64_t nowMs) {
    std::vector<Notification> out;
    for (Lane& lane : lanes_) {
        if (lane.waiting.empty() || (lane.lastMs && nowMs - *lane.lastMs < kGapMs)) continue;
        out.push_back(lane.waiting.front());
        lane.waiting.pop_front();
        lane.lastMs = nowMs;
    }
    return out;
}

size_t TrapGate::Waiting() const {
    size_t n = 0;
    for (const Lane& lane : lanes_) n += lane.waiting.size();
    return n;
}

}  // namespace snmp
