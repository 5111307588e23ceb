// The simulated unit: what it holds, how it answers each request, and its own frame encoder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "battery_model.h"

namespace sim {

// Wire rules, written from the protocol description (not shared with the link):
// - a reply of L characters is two leading characters, (L - 6) / 2 payload bytes as uppercase
//   hex pairs, then a 16-bit checksum in four hex characters: the sum of every character before
//   it, each taken as a signed 8-bit value;
// - a set request sums its bytes unsigned instead.
std::string EncodeReply(char commandChar, const std::vector<uint8_t>& payload);
uint16_t ReplySum(const std::string& chars);          // signed-character sum
uint16_t RequestSum(const uint8_t* bytes, size_t n);  // unsigned-byte sum

// Length of the request frame that a command character starts; 2 for queries, 0 when unknown.
// 'P' starts two frames (30 and 70 bytes): this returns 30, the caller tells them apart.
int RequestLength(char commandChar);
bool IsQuery(char commandChar);
bool HasChecksum(char commandChar);  // every set frame except 'G'

struct UnitOptions {
    int stateCode = 2;
    int standbyReason = 0;
    bool batteryTestPending = false;
    double batteryVolts = 0;  // fixed battery voltage in the status reply; 0: the default 54 V wobble
    // The battery model: voltage, charge phase, power and load follow a discharging or charging
    // battery instead of the fixed readings. batteryVolts, when set, still overrides the voltage.
    bool model = false;
    double loadPercent = 18;
    double capacityAh = 40;
    double health = 1.0;
};

class Unit {
public:
    explicit Unit(const UnitOptions& options);
    const UnitOptions& options() const { return options_; }
    void SetOptions(const UnitOptions& options);

    // Answer to a complete, checked request frame; empty when the unit does not answer it.
    std::string Answer(const std::vector<uint8_t>& frame);
    // A reply of the same length with absurd values and a wrong checksum.
    std::string Poison(const std::vector<uint8_t>& frame);

    // Runs the battery model for seconds of battery time in the present state.
    void Advance(double seconds);
    BatteryModel& battery() { return battery_; }

private:
    std::vector<uint8_t> Status();
    std::vector<uint8_t> FailureSnapshot(int state, int reason);
    std::vector<uint8_t> Payload(char c);
    void Store(char c, const std::vector<uint8_t>& data, size_t frameLength);

    bool OnBattery() const { return options_.stateCode >= 16 && options_.stateCode <= 18; }
    bool OnLine() const { return options_.stateCode == 2 || options_.stateCode == 4; }
    double ModelVolts() const;
    unsigned OutputAmps(int wobble) const;  // what the status and auxiliary answers report
    unsigned BatteryAmps() const;

    UnitOptions options_;
    BatteryModel battery_;
    unsigned tick_ = 0;
    uint16_t setup_[42];
    int16_t debug_[12];
    int16_t adAmplitude_[16];
    int16_t adOffset_[16];
    uint16_t userParams_[12];
    uint8_t identity_[16];
    uint8_t adds_[92];
    int16_t pi_[6];
    uint16_t lastWordArgument_ = 0;
    uint16_t testParameter_ = 0;
};

}  // namespace sim
