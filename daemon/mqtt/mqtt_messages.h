// What vesperod publishes over MQTT, as plain data: each unit's state payload and Home
// Assistant's discovery configs. Built on the server's thread, sent by the client's.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "daemon/unit_board.h"

namespace mqtt {

// One unit as the MQTT side sees it, copied off the board.
struct UnitState {
    std::string name;
    std::string mfr, model, serial, firmware;
    bool available = false;  // data fresh and the link up
    std::string state;       // JSON payload of the state topic
    std::vector<std::string> commands;
    bool operator==(const UnitState&) const = default;
};

struct Topics {
    std::string prefix = "vespero";
    std::string discoveryPrefix = "homeassistant";
    std::string node;  // this machine's name, to keep unique ids apart between hosts

    std::string Bridge() const { return prefix + "/status"; }  // carries the last will
    std::string Availability(const std::string& unit) const { return prefix + "/" + unit + "/availability"; }
    std::string State(const std::string& unit) const { return prefix + "/" + unit + "/state"; }
    std::string Command(const std::string& unit) const { return prefix + "/" + unit + "/command"; }
    std::string CommandFilter() const { return prefix + "/+/command"; }
};

UnitState StateOf(const nut::UnitBoard& board, const nut::UnitBoard::Unit& unit, qint64 nowMs);

// Topic and payload of every discovery config of the unit; buttons for its commands only when
// commands are taken.
std::vector<std::pair<std::string, std::string>> DiscoveryConfigs(const Topics& topics, const UnitState& unit,
                                                                   bool commands);

// The unit named by a command topic, empty when the topic is not one.
std::string CommandTopicUnit(const Topics& topics, const std::string& topic);

}  // namespace mqtt
