#include "daemon/mqtt/mqtt_messages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

namespace mqtt {
namespace {

const std::string* Find(const nut::UnitBoard& board, const nut::UnitBoard::Unit& unit, const char* name) {
    const nut::Variable* v = board.FindVariable(unit, name);
    return v ? &v->value : nullptr;
}

// A level of a topic or an id: anything but letters, digits, - and _ becomes _.
std::string Slug(std::string text) {
    for (char& c : text)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) c = '_';
    return text;
}

struct Sensor {
    const char* object;
    const char* name;
    const char* component;
    const char* deviceClass;  // nullptr: none
    const char* unit;
    bool measurement;
};

// Home Assistant's device and state classes: a measurement keeps long-term statistics.
constexpr Sensor kSensors[] = {
    {"status", "Status", "sensor", nullptr, nullptr, false},
    {"battery_charge", "Battery charge", "sensor", "battery", "%", true},
    {"battery_runtime", "Battery runtime", "sensor", "duration", "s", true},
    {"load", "Load", "sensor", "power_factor", "%", true},
    {"input_voltage", "Input voltage", "sensor", "voltage", "V", true},
    {"battery_voltage", "Battery voltage", "sensor", "voltage", "V", true},
    {"temperature", "Temperature", "sensor", "temperature", "°C", true},
    {"battery_temperature", "Battery temperature", "sensor", "temperature", "°C", true},
    // battery: on means low. On battery has no class whose on-state means it.
    {"on_battery", "On battery", "binary_sensor", nullptr, nullptr, false},
    {"low_battery", "Low battery", "binary_sensor", "battery", nullptr, false},
};

// The state payload's numbers and the variables they come from.
constexpr std::pair<const char*, const char*> kNumbers[] = {
    {"battery_charge", "battery.charge"},   {"battery_runtime", "battery.runtime"},
    {"load", "ups.load"},                   {"input_voltage", "input.voltage"},
    {"battery_voltage", "battery.voltage"}, {"temperature", "ups.temperature"},
    {"battery_temperature", "battery.temperature"},
};

}  // namespace

UnitState StateOf(const nut::UnitBoard& board, const nut::UnitBoard::Unit& unit, qint64 nowMs) {
    UnitState s;
    s.name = unit.name;
    for (auto [field, name] : {std::pair{&s.mfr, "device.mfr"}, std::pair{&s.model, "device.model"},
                               std::pair{&s.serial, "device.serial"}, std::pair{&s.firmware, "ups.firmware"}})
        if (const std::string* v = Find(board, unit, name)) *field = *v;
    s.available = unit.haveStatus && !unit.linkLost && !board.IsStale(unit, nowMs);
    QJsonObject state;
    const std::string* status = Find(board, unit, "ups.status");
    const QString words = status ? QString::fromStdString(*status) : QString();
    state.insert(QStringLiteral("status"), words);
    for (auto [key, name] : kNumbers) {
        if (const std::string* v = Find(board, unit, name)) {
            bool ok = false;
            const double number = QString::fromStdString(*v).toDouble(&ok);
            if (ok) state.insert(QLatin1String(key), number);
        }
    }
    const QStringList flags = words.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    state.insert(QStringLiteral("on_battery"), flags.contains(QLatin1String("OB")) ? "ON" : "OFF");
    state.insert(QStringLiteral("low_battery"), flags.contains(QLatin1String("LB")) ? "ON" : "OFF");
    s.state = QJsonDocument(state).toJson(QJsonDocument::Compact).toStdString();
    for (const nut::InstantCommand& c : nut::InstantCommands()) s.commands.emplace_back(c.name);
    return s;
}

std::vector<std::pair<std::string, std::string>> DiscoveryConfigs(const Topics& topics, const UnitState& unit,
                                                                   bool commands) {
    const std::string node = Slug(unit.name);
    const std::string idBase = "vesperod_" + Slug(topics.node) + "_" + node;
    QJsonObject device{{QStringLiteral("identifiers"), QJsonArray{QString::fromStdString(idBase)}},
                       {QStringLiteral("name"), QString::fromStdString(unit.name)}};
    for (auto [key, value] : {std::pair{"manufacturer", &unit.mfr}, std::pair{"model", &unit.model},
                              std::pair{"serial_number", &unit.serial}, std::pair{"sw_version", &unit.firmware}})
        if (!value->empty()) device.insert(QLatin1String(key), QString::fromStdString(*value));
    // Unavailable while vesperod is gone (the last will) or the unit's data is not current.
    const QJsonArray availability{
        QJsonObject{{QStringLiteral("topic"), QString::fromStdString(topics.Bridge())}},
        QJsonObject{{QStringLiteral("topic"), QString::fromStdString(topics.Availability(unit.name))}}};
    const auto common = [&](const std::string& object, const QString& name) {
        return QJsonObject{{QStringLiteral("name"), name},
                           {QStringLiteral("unique_id"), QString::fromStdString(idBase + "_" + object)},
                           {QStringLiteral("object_id"), QString::fromStdString(node + "_" + object)},
                           {QStringLiteral("device"), device},
                           {QStringLiteral("availability"), availability},
                           {QStringLiteral("availability_mode"), QStringLiteral("all")}};
    };
    std::vector<std::pair<std::string, std::string>> out;
    for (const Sensor& s : kSensors) {
        QJsonObject config = common(s.object, QLatin1String(s.name));
        config.insert(QStringLiteral("state_topic"), QString::fromStdString(topics.State(unit.name)));
        config.insert(QStringLiteral("value_template"), QStringLiteral("{{ value_json.%1 }}").arg(QLatin1String(s.object)));
        if (s.deviceClass) config.insert(QStringLiteral("device_class"), QLatin1String(s.deviceClass));
        if (s.unit) config.insert(QStringLiteral("unit_of_measurement"), QString::fromUtf8(s.unit));
        if (s.measurement) config.insert(QStringLiteral("state_class"), QStringLiteral("measurement"));
        out.emplace_back(topics.discoveryPrefix + "/" + s.component + "/" + node + "/" + s.object + "/config",
                         QJsonDocument(config).toJson(QJsonDocument::Compact).toStdString());
    }
    for (const std::string& command : unit.commands) {
        const std::string object = Slug(command);
        if (!commands) {
            // An empty retained config removes a button an earlier run announced.
            out.emplace_back(topics.discoveryPrefix + "/button/" + node + "/" + object + "/config", std::string());
            continue;
        }
        QJsonObject config = common(object, QString::fromStdString(command));
        config.insert(QStringLiteral("command_topic"), QString::fromStdString(topics.Command(unit.name)));
        config.insert(QStringLiteral("payload_press"), QString::fromStdString(command));
        out.emplace_back(topics.discoveryPrefix + "/button/" + node + "/" + object + "/config",
                         QJsonDocument(config).toJson(QJsonDocument::Compact).toStdString());
    }
    return out;
}

std::string CommandTopicUnit(const Topics& topics, const std::string& topic) {
    const std::string head = topics.prefix + "/", tail = "/command";
    if (topic.size() <= head.size() + tail.size() || topic.compare(0, head.size(), head) != 0 ||
        topic.compare(topic.size() - tail.size(), tail.size(), tail) != 0)
        return {};
    std::string unit = topic.substr(head.size(), topic.size() - head.size() - tail.size());
    return unit.find('/') == std::string::npos ? unit : std::string();
}

}  // namespace mqtt
