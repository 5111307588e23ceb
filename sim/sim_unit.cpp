#include "sim_unit.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sim {
namespace {

const char kHex[] = "0123456789ABCDEF";

void PutWord(std::vector<uint8_t>& p, unsigned w) {
    p.push_back(uint8_t((w >> 8) & 0xFF));
    p.push_back(uint8_t(w & 0xFF));
}

// 32-bit values travel as two words, low word first.
void PutLong(std::vector<uint8_t>& p, uint32_t v) {
    PutWord(p, v & 0xFFFF);
    PutWord(p, v >> 16);
}

void PutText(std::vector<uint8_t>& p, const uint8_t* text, size_t n) {
    p.insert(p.end(), text, text + n);
}

unsigned Word(const std::vector<uint8_t>& data, size_t i) {
    return i + 1 < data.size() ? unsigned(data[i]) * 256u + data[i + 1] : 0u;
}

// Raw word for an r.m.s. voltage: the unit reports (20 V)^2 / 1024.
unsigned RawRms(double volts) { return unsigned((volts * 20) * (volts * 20) / 1024); }

void CopyText(uint8_t* dest, size_t width, const char* text) {
    std::memset(dest, 0, width);
    std::memcpy(dest, text, std::min(width, std::strlen(text)));
}

// Hex pairs of a set frame's data section as bytes.
std::vector<uint8_t> DataOf(const std::vector<uint8_t>& frame, bool checksum) {
    std::vector<uint8_t> data;
    const size_t tail = checksum ? 4 : 0;
    if (frame.size() < 2 + tail) return data;  // too short to hold any data
    const size_t end = frame.size() - tail;
    auto nibble = [](uint8_t c) -> unsigned {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return 0;
    };
    for (size_t i = 2; i + 1 < end; i += 2) data.push_back(uint8_t(nibble(frame[i]) * 16 + nibble(frame[i + 1])));
    return data;
}

struct Row {
    char c;
    int request;  // request frame length
    int reply;    // reply length
};

// Request and reply lengths of every command character.
const Row kRows[] = {
    {'1', 2, 178}, {'B', 2, 110}, {'p', 2, 54},   {'R', 54, 54}, {'3', 2, 110}, {'a', 2, 54},
    {'V', 2, 46},  {'S', 10, 2},  {'5', 2, 114},  {'Q', 2, 174}, {'C', 2, 38},  {'k', 38, 2},
    {'i', 2, 34},  {'P', 30, 2},  {'U', 174, 2},  {'d', 2, 54},  {'D', 54, 2},  {'f', 2, 98},
    {'W', 10, 2},  {'G', 10, 2},  {'&', 2, 70},   {'%', 2, 70},  {'#', 70, 2},  {'O', 70, 2},
    {'r', 10, 2},  {'4', 2, 190}, {'T', 126, 2},  {'6', 2, 70},  {'b', 10, 2},  {'7', 2, 42},
    {'M', 2, 2},
};

const Row* FindRow(char c) {
    for (const Row& r : kRows)
        if (r.c == c) return &r;
    return nullptr;
}

}  // namespace

uint16_t ReplySum(const std::string& chars) {
    unsigned sum = 0;
    for (char ch : chars) sum += unsigned(int(static_cast<signed char>(ch)));
    return uint16_t(sum & 0xFFFF);
}

uint16_t RequestSum(const uint8_t* bytes, size_t n) {
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i) sum += bytes[i];
    return uint16_t(sum & 0xFFFF);
}

std::string EncodeReply(char commandChar, const std::vector<uint8_t>& payload) {
    std::string out;
    out.push_back(char(0x80));
    out.push_back(commandChar);
    for (uint8_t b : payload) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 15]);
    }
    const uint16_t sum = ReplySum(out);
    for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(sum >> shift) & 15]);
    return out;
}

int RequestLength(char c) {
    const Row* r = FindRow(c);
    return r ? r->request : 0;
}

bool IsQuery(char c) { return RequestLength(c) == 2; }
bool HasChecksum(char c) { return RequestLength(c) > 2 && c != 'G'; }

Unit::Unit(const UnitOptions& options) : options_(options) {
    const uint16_t setup[42] = {
        10,   3609, 3456, 4,    1,    0,    11,   2944, 100,  20,   50,   40,   0,    0,
        1230, 1100, 100,  0,    1,    0,    500,  1000, 1500, 2000, 2500, 3000, 3500, 4000,
        25000, 22000, 19000, 16000, 13000, 10000, 7000, 4000, 1024, 30, 2, 625, 1250, 0};
    std::memcpy(setup_, setup, sizeof setup_);
    for (int i = 0; i < 12; ++i) debug_[i] = int16_t(i + 1);
    for (int i = 0; i < 16; ++i) {
        adAmplitude_[i] = int16_t(1000 + i);
        adOffset_[i] = int16_t(i - 8);
    }
    const uint16_t user[12] = {1, uint16_t(RawRms(230)), uint16_t(RawRms(207)), uint16_t(RawRms(253)),
                               uint16_t(RawRms(184)), uint16_t(RawRms(264)), 5, 12, 1, 300, 0, 10};
    std::memcpy(userParams_, user, sizeof userParams_);
    std::memcpy(identity_, "VSP1000A", 8);
    std::memcpy(identity_ + 8, "SN004711", 8);
    std::memset(adds_, 0, sizeof adds_);
    adds_[0] = 0;
    adds_[1] = 40;  // 40 Ah
    adds_[2] = 0;
    adds_[3] = 15;  // 15 min
    CopyText(adds_ + 4, 8, "20240115");
    CopyText(adds_ + 12, 20, "Vespero 5000");
    CopyText(adds_ + 32, 20, "Tralvane");
    CopyText(adds_ + 52, 20, "Service Desk");
    CopyText(adds_ + 72, 20, "+39 011 000000");
    std::memset(pi_, 0, sizeof pi_);
    SetOptions(options);
}

void Unit::SetOptions(const UnitOptions& options) {
    options_ = options;
    BatteryParams p = battery_.params();
    p.capacityAh = options.capacityAh > 0 ? options.capacityAh : 40;
    p.health = options.health > 0 ? options.health : 1;
    p.chargeAmps = p.capacityAh / 10;
    battery_.SetParams(p);
    if (options.model) {
        const unsigned ah = unsigned(p.capacityAh + 0.5) & 0xFFFF;
        adds_[0] = uint8_t(ah >> 8);
        adds_[1] = uint8_t(ah & 0xFF);
    }
}

void Unit::Advance(double seconds) {
    if (options_.model && seconds > 0) battery_.Advance(seconds, options_.loadPercent, OnBattery(), OnLine());
}

unsigned Unit::OutputAmps(int wobble) const {
    if (!options_.model) return unsigned(4 + wobble / 4);
    const double load = std::max(0.0, std::min(150.0, options_.loadPercent));
    return unsigned(load / 100 * 5000 / 230 + 0.5);
}

unsigned Unit::BatteryAmps() const {
    if (options_.model) {
        if (OnBattery()) return unsigned(battery_.Amps(options_.loadPercent) + 0.5) & 0xFFFF;
        return OnLine() && battery_.Charging() ? unsigned(0.9 * battery_.params().chargeAmps + 0.5) : 0;
    }
    return OnBattery() ? unsigned(std::max(0.0, options_.loadPercent) / 100 * 5000 / 0.92 / 54 + 0.5)
                       : 2 + tick_ % 3;  // charging
}

double Unit::ModelVolts() const {
    if (options_.batteryVolts > 0) return options_.batteryVolts;
    return battery_.Volts(options_.loadPercent, OnBattery(), OnLine());
}

std::vector<uint8_t> Unit::Status() {
    ++tick_;
    // Slow wobble: values drift over a few dozen polls and come back.
    const int w = int(tick_ % 24) < 12 ? int(tick_ % 24) : 24 - int(tick_ % 24);
    std::vector<uint8_t> p;
    // On battery the mains are gone: no input voltage, frequency or current.
    const bool mains = !OnBattery();
    PutWord(p, mains ? RawRms(229.0 + 0.2 * w) : 0);  // input voltage
    PutWord(p, mains ? 50000 - 10 * w : 0);    // input period: 2 x 1e6 / (0.8 x 50000) = 50 Hz
    PutWord(p, mains ? 3 + w / 6 : 0);         // input current
    PutWord(p, RawRms(1.5 * 230.0));           // output voltage (the unit reports 1.5 x)
    const bool model = options_.model;
    const double load = std::max(0.0, std::min(150.0, options_.loadPercent));
    PutWord(p, OutputAmps(w));                 // output current
    PutWord(p, model ? unsigned(load / 100 * 5000 + 0.5) : 900 + 10 * w);    // output power, W
    PutWord(p, 500);                           // output period, 40 us steps: 50 Hz
    if (model)
        PutWord(p, unsigned(ModelVolts() * 32 + 0.5) & 0xFFFF);
    else
        PutWord(p, options_.batteryVolts > 0 ? unsigned(options_.batteryVolts * 32 + 0.5) & 0xFFFF
                                             : 1728 + w);  // battery voltage / 32: 54 V
    PutWord(p, 135 + w);                       // internal voltage 1: inside the panel's green band
    PutWord(p, 132 + w);                       // internal voltage 2
    PutWord(p, 0);                             // aux1
    PutWord(p, 0);                             // aux2
    PutWord(p, 5888 + 8 * w);                  // inverter temperature: 45 C
    PutWord(p, 22320 - 16 * w);                // case temperature: 30 C
    const bool charging = !model || (OnLine() && battery_.Charging());
    unsigned flags = charging ? 0x0200 : 0;    // charging
    if (options_.batteryTestPending) flags |= 0x8000;
    PutWord(p, flags);
    PutWord(p, 0);                             // flags 3/4
    PutWord(p, unsigned(options_.stateCode));
    PutWord(p, unsigned(options_.standbyReason) & 0xFFFF);
    PutWord(p, 25);                            // battery temperature
    PutWord(p, 1);                             // power units (rating)
    PutWord(p, 4);                             // battery blocks
    PutWord(p, 0);
    PutWord(p, 0);
    PutWord(p, 0);
    PutWord(p, model ? unsigned(load + 0.5) : 18 + w / 3);  // power percent
    PutWord(p, !model || charging ? 0x0001 : OnLine() ? 0x0003 : 0);  // CCB status: bulk, float
    return p;
}

std::vector<uint8_t> Unit::FailureSnapshot(int state, int reason) {
    std::vector<uint8_t> p;
    PutWord(p, RawRms(180));
    PutWord(p, 52632);  // 47.5 Hz
    PutWord(p, 12);
    PutWord(p, RawRms(1.5 * 221));
    PutWord(p, 21);
    PutWord(p, 4800);
    PutWord(p, 526);
    PutWord(p, 1344);  // 42 V
    PutWord(p, 402);
    PutWord(p, 399);
    PutWord(p, 0);
    PutWord(p, 0);
    PutWord(p, 8832);   // 68 C
    PutWord(p, 19760);  // 40 C
    PutWord(p, 0x4000);
    PutWord(p, 0x0010);
    PutWord(p, unsigned(state));
    PutWord(p, unsigned(reason));
    PutWord(p, 38);
    PutWord(p, 1);
    PutWord(p, 4);
    PutWord(p, 0);
    PutWord(p, 0);
    PutWord(p, 0);
    PutWord(p, 96);
    PutWord(p, 0x0003);
    return p;
}

std::vector<uint8_t> Unit::Payload(char c) {
    std::vector<uint8_t> p;
    switch (c) {
    case '3':
        return Status();
    case 'B':
        return FailureSnapshot(3, 8);  // low battery
    case '1':
        p = FailureSnapshot(3, 13);    // overload
        PutWord(p, 13);                // last-fail identifier
        for (unsigned i = 1; i <= 16; ++i) PutWord(p, i * 3 % 7);
        return p;
    case 'p':
    case 'R':
        for (uint16_t w : userParams_) PutWord(p, w);
        return p;
    case 'a':
        for (unsigned i = 0; i < 12; ++i) PutWord(p, 100 + 50 * i);
        return p;
    case 'V': {
        const uint8_t version[20] = {'1', '.', '0', '4'};
        PutText(p, version, sizeof version);
        return p;
    }
    case '5':
        for (uint32_t d : {3600u * 24 * 400, 3600u * 5, 3600u * 2, 600u}) PutLong(p, d);
        for (double v : {230.0, 245.0, 198.0, 231.0}) PutWord(p, RawRms(v));
        PutWord(p, 6528 + 40);  // 50 C once the remainder is dropped
        for (uint32_t d : {120u, 70000u, 5u, 3600u, 86400u, 100000u}) PutLong(p, d);
        PutWord(p, 42);
        PutWord(p, 7);
        return p;
    case 'Q':
        for (uint16_t w : setup_) PutWord(p, w);
        return p;
    case 'C':
        PutText(p, identity_, sizeof identity_);
        return p;
    case 'i':
        for (unsigned i = 0; i < 6; ++i) PutWord(p, 10 + i);
        PutWord(p, 0);
        return p;
    case 'd':
        for (int16_t v : debug_) PutWord(p, uint16_t(v));
        return p;
    case 'f':
        for (int i = 0; i < 20; ++i) PutWord(p, uint16_t(int16_t(i * 10 - 50)));
        PutWord(p, 120);
        PutWord(p, uint16_t(int16_t(-7)));
        PutWord(p, 33);
        return p;
    case '&':
        for (int16_t v : adAmplitude_) PutWord(p, uint16_t(v));
        return p;
    case '%':
        for (int16_t v : adOffset_) PutWord(p, uint16_t(v));
        return p;
    case '4':
        PutText(p, adds_, sizeof adds_);
        return p;
    case '6':
        PutWord(p, 0);
        PutWord(p, BatteryAmps());   // battery current, A
        PutWord(p, 0);
        PutWord(p, 0);
        PutWord(p, 0);
        PutWord(p, 0);
        PutWord(p, OutputAmps(int(tick_ % 24) < 12 ? int(tick_ % 24) : 24 - int(tick_ % 24)));  // output current, A
        PutWord(p, 0);
        PutLong(p, 123456u + tick_);
        PutWord(p, 0);
        PutWord(p, 0);
        // The same battery voltage as the status reply's.
        PutWord(p, options_.model || options_.batteryVolts > 0 ? unsigned(ModelVolts() * 10 + 0.5) & 0xFFFF
                                                               : 540 + tick_ % 5);  // battery voltage, 0.1 V
        PutWord(p, 0);
        PutWord(p, 0);
        PutWord(p, 0);
        return p;
    case '7':
        options_.batteryTestPending = false;
        PutWord(p, 1);          // passed
        PutLong(p, 90000);
        PutLong(p, 600);
        for (unsigned v : {1728u, 1650u, 12u, unsigned(testParameter_)}) PutWord(p, v);
        return p;
    default:
        return p;
    }
}

void Unit::Store(char c, const std::vector<uint8_t>& data, size_t frameLength) {
    switch (c) {
    case 'D':
        for (size_t i = 0; i < 12; ++i) debug_[i] = int16_t(Word(data, 2 * i));
        break;
    case 'U':
        for (size_t i = 0; i < 42; ++i) setup_[i] = uint16_t(Word(data, 2 * i));
        break;
    case '#':
        for (size_t i = 0; i < 16; ++i) adAmplitude_[i] = int16_t(Word(data, 2 * i));
        break;
    case 'O':
        for (size_t i = 0; i < 16; ++i) adOffset_[i] = int16_t(Word(data, 2 * i));
        break;
    case 'R':
        for (size_t i = 0; i < 12; ++i) userParams_[i] = uint16_t(Word(data, 2 * i));
        break;
    case 'k':
        for (size_t i = 0; i < 16 && i < data.size(); ++i) identity_[i] = data[i];
        break;
    case 'P':
        if (frameLength == 70) {  // battery Ah, backup time, build date, model
            for (size_t i = 0; i < 32 && i < data.size(); ++i) adds_[i] = data[i];
        } else {
            for (size_t i = 0; i < 6; ++i) pi_[i] = int16_t(Word(data, 2 * i));
        }
        break;
    case 'T':  // manufacturer, service contact, service phone
        for (size_t i = 0; i < 60 && i < data.size(); ++i) adds_[32 + i] = data[i];
        break;
    case 'S':
    case 'r':
        lastWordArgument_ = uint16_t(Word(data, 0));
        break;
    case 'b':
        // A test was asked for: its result is waiting from the next status on.
        testParameter_ = uint16_t(Word(data, 0));
        options_.batteryTestPending = true;
        break;
    default:
        break;
    }
}

std::string Unit::Answer(const std::vector<uint8_t>& frame) {
    if (frame.size() < 2) return {};
    const char c = char(frame[1]);
    const Row* row = FindRow(c);
    if (!row) return {};
    if (!IsQuery(c)) Store(c, DataOf(frame, HasChecksum(c)), frame.size());
    if (row->reply == 2) return std::string{char(0x80), c};
    return EncodeReply(c, Payload(c));
}

std::string Unit::Poison(const std::vector<uint8_t>& frame) {
    if (frame.size() < 2) return {};
    const char c = char(frame[1]);
    const Row* row = FindRow(c);
    if (!row) return {};
    if (row->reply == 2) return std::string{char(0x80), c};
    std::vector<uint8_t> p(size_t(row->reply - 6) / 2, 0xFF);
    if (c == '3' || c == 'B' || c == '1') {
        p[32] = 0x7F;  // state code 0x7FFF: no such state
        p[33] = 0xFF;
    }
    std::string reply = EncodeReply(c, p);
    // Wrong checksum: bump the last digit.
    char& last = reply.back();
    last = last == 'F' ? '0' : (last == '9' ? 'A' : char(last + 1));
    return reply;
}

}  // namespace sim
