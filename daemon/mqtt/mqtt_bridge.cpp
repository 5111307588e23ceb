#include "daemon/mqtt/mqtt_bridge.h"

#include <QSysInfo>

#include "daemon/nut/nut_server.h"
#include "daemon/ups_variables.h"

namespace mqtt {

Bridge::Bridge(nut::UnitBoard* board, const nut::UsersFile* users, Clock steadyMs, QObject* parent)
    : QObject(parent), board_(board), users_(users), steady_(steadyMs), pacer_(kCoalesceMs, [this] { Offer(); }) {}

Bridge::~Bridge() { Stop(); }

void Bridge::Stop() {
    pacer_.Stop();
    client_.reset();
}

void Bridge::Configure(const nut::MqttConfig& config) {
    if (client_ && config == config_) return;
    const bool was = client_ != nullptr;
    Stop();
    config_ = config;
    if (config.host.isEmpty()) {
        if (was) nut::LogLine(QStringLiteral("mqtt: off"));
        return;
    }
    nut::LogLine(QStringLiteral("mqtt: publishing to %1:%2%3").arg(config.host).arg(config.port)
                     .arg(config.tls ? QStringLiteral(" over TLS") : QString()));
    client_ = std::make_unique<Client>(
        config, QSysInfo::machineHostName().toStdString(),
        [this](const std::string& unit, const std::string& command, std::optional<int> parameter) {
            RunCommand(unit, command, parameter);
        },
        [](const std::string& line) { nut::LogLine(QString::fromStdString(line)); });
    pacer_.Start(1000);
    Offer();
}

void Bridge::Sync() {
    if (client_) pacer_.Sync();
}

void Bridge::Offer() {
    if (!client_) return;
    const qint64 now = steady_();
    std::vector<UnitState> units;
    for (const nut::UnitBoard::Unit* unit : board_->PresentUnits()) units.push_back(StateOf(*board_, *unit, now));
    client_->Offer(std::move(units));
}

void Bridge::RunCommand(const std::string& name, const std::string& command, std::optional<int> parameter) {
    const std::string user = config_.commandUser.toStdString();
    const std::string what = command + (parameter ? " " + std::to_string(*parameter) : std::string());
    nut::UnitBoard::Unit* unit = board_->Find(name);
    const auto refuse = [&](const QString& why) {
        nut::LogLine(QStringLiteral("mqtt command %1 %2 refused: %3")
                         .arg(QString::fromStdString(name), QString::fromStdString(what), why));
    };
    if (!unit) return refuse(QStringLiteral("no such unit"));
    const auto it = users_->users.find(user);
    if (it == users_->users.end())
        return refuse(QStringLiteral("command_user %1 is not in the users file").arg(config_.commandUser));
    const auto& rights = it->second.instcmds;
    if (!rights.count("all") && !rights.count(command))
        return refuse(QStringLiteral("%1 may not run it").arg(config_.commandUser));
    const nut::InstantCommand* c = nut::FindInstantCommand(command);
    if (!c) return refuse(QStringLiteral("no such command"));
    if (board_->IsStale(*unit, steady_())) {
        board_->Note(unit->name, "instcmd", what + ": DATA-STALE", user, "mqtt");
        return refuse(QStringLiteral("the unit's data is stale"));
    }
    board_->Tracking().Start(unit->device, c->commandCode, steady_());
    board_->Queue(c->keybType, unit->device, parameter.value_or(0));
    nut::LogLine(QStringLiteral("mqtt command %1 %2 by \"%3\"")
                     .arg(QString::fromStdString(unit->name), QString::fromStdString(what), config_.commandUser));
    board_->Note(unit->name, "instcmd", what + ": queued", user, "mqtt");
}

}  // namespace mqtt
