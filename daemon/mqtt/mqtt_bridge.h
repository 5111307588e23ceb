// The MQTT side as the server's thread sees it: hands the units' state to the client after the
// link's refreshes (and once a second, so staleness shows without news), carries out the
// commands that come back, and starts the client again when a reload changes its settings.
#pragma once

#include <QObject>

#include <memory>
#include <optional>
#include <string>

#include "daemon/daemon_config.h"
#include "daemon/mqtt/mqtt_client.h"
#include "daemon/offer_pacer.h"
#include "daemon/nut/users_file.h"
#include "daemon/unit_board.h"

namespace mqtt {

class Bridge : public QObject {
public:
    using Clock = qint64 (*)();
    Bridge(nut::UnitBoard* board, const nut::UsersFile* users, Clock steadyMs, QObject* parent = nullptr);
    ~Bridge() override;

    // Starts, restarts or stops the client when its settings differ from the running ones.
    void Configure(const nut::MqttConfig& config);
    void Sync();  // after the link's sync; coalesced
    void Stop();

    static constexpr int kCoalesceMs = 200;

private:
    void Offer();
    void RunCommand(const std::string& unit, const std::string& command, std::optional<int> parameter);

    nut::UnitBoard* board_;
    const nut::UsersFile* users_;
    Clock steady_;
    nut::MqttConfig config_;
    std::unique_ptr<Client> client_;
    nut::OfferPacer pacer_;
};

}  // namespace mqtt
