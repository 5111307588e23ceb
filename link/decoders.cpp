// Reply payloads into engineering values. Nothing is range-checked: what passed the checksum is
// stored as it comes, and a decoder never fails.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "link/device_lock.h"
#include "link/link_core.h"

namespace {

double U(const uint8_t* p, int k) { return BigEndianWord(p + k); }
uint16_t UW(const uint8_t* p, int k) { return static_cast<uint16_t>(BigEndianWord(p + k)); }
int16_t S(const uint8_t* p, int k) { return static_cast<int16_t>(BigEndianWord(p + k)); }
uint32_t L(const uint8_t* p, int k) { return WordSwappedLong(p + k); }

// Copies a fixed-width text of the payload and ends it, whatever bytes it holds.
template <size_t N>
void CopyText(char (&field)[N], const uint8_t* p, int offset, int width) {
    static_assert(N > 0);
    size_t n = static_cast<size_t>(width) < N - 1 ? static_cast<size_t>(width) : N - 1;
    std::memcpy(field, p + offset, n);
    field[n] = '\0';
}

}  // namespace

double RmsFromRaw(double x) { return std::sqrt(x * 1024) / 20; }

double FrequencyFromPeriod(double x) { return x > 100 ? 1000000 / (x * 0.8) : 0; }

double TemperatureFromRaw(double x) { return (30000 - x) / 256; }

int DecodeStatusBlock(UpsStatusBlock* t, const uint8_t* p) {
    t->inputVoltage = RmsFromRaw(U(p, 0));
    t->inputFrequency = 2 * FrequencyFromPeriod(U(p, 2));
    t->inputCurrent = U(p, 4);
    t->outputVoltage = RmsFromRaw(U(p, 6)) / 1.5;
    t->outputCurrent = U(p, 8);
    t->outputPower = U(p, 10);
    // A period of 0 means no output frequency at all; it reads as infinity, as the division would.
    t->outputFrequency = UW(p, 12) == 0 ? std::numeric_limits<double>::infinity()
                                         : 1 / (U(p, 12) * 40 / 1000000);
    t->batteryVoltage = U(p, 14) * 0.03125;
    t->internalVoltage1 = U(p, 16);
    t->internalVoltage2 = U(p, 18);
    t->aux1 = UW(p, 20);
    t->aux2 = UW(p, 22);
    t->inverterTemperature = U(p, 24) * 0.03125 * 0.25 - 1;
    t->caseTemperature = TemperatureFromRaw(U(p, 26));
    t->flags12 = UW(p, 28);
    t->flags34 = UW(p, 30);
    t->stateCode = UW(p, 32);
    t->standbyReason = S(p, 34);
    t->batteryTemperature = S(p, 36);
    t->powerUnits = UW(p, 38);
    t->currentUnits = UW(p, 40);
    t->aux3 = UW(p, 42);
    t->aux4 = UW(p, 44);
    t->aux5 = UW(p, 46);
    t->powerPercent = UW(p, 48);
    t->ccbStatus = UW(p, 50);
    return 52;
}

void DecodeStatus(_ZozeUps* ups) {
    auto lock = LockDevice(ups);
    DecodeStatusBlock(&ups->status, ups->payload);
    StatusTexts(ups);
}

void DecodeBatteryFailure(_ZozeUps* ups) {
    auto lock = LockDevice(ups);
    DecodeStatusBlock(&ups->batteryFailure, ups->payload);
}

void DecodeSystemFailure(_ZozeUps* ups) {
    auto lock = LockDevice(ups);
    const uint8_t* p = ups->payload;
    DecodeStatusBlock(&ups->systemFailure, p);
    for (int i = 0; i < 17; ++i) ups->failureCounters[i] = UW(p, 52 + 2 * i);
}

void DecodeAnalog(_ZozeUps* ups) {
    auto lock = LockDevice(ups);
    for (int i = 0; i < 12; ++i) ups->analogValue[i] = U(ups->payload, 2 * i) * 3.2 / 1024;
}

void DecodeVersion(_ZozeUps* ups) {
    auto lock = LockDevice(ups);
    int n = 0;
    while (n < 5 && ups->payload[n] != 0) {
        ups->firmwareVersion[n] = static_cast<char>(ups->payload[n]);
        ++n;
    }
    std::memset(ups->firmwareVersion + n, 0, sizeof ups->firmwareVersion - n);
}

void DecodeInfo(_ZozeUps* ups) {
    auto lock = LockDevice(ups);
    for (int i = 0; i < 6; ++i) ups->infoWord[i] = S(ups->payload, 2 * i);
}

void DecodeDebug(_ZozeUps* ups) {
    auto lock = LockDevice(ups);
    int32_t* d = ups->debugRead;
    for (int i = 0; i < 12; ++i) d[i] = S(ups->payload, 2 * i);
    std::printf("Seriale %d\n", ups->comPort);
    std::printf("Parametri impostati %03d %03d %03d %03d %03d %03d %03d %03d %03d %03d %03d %03d \n",
                d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], d[8], d[9], d[10], d[11]);
}

void DecodeHistory(_ZozeUps* ups) {
    auto lock = LockDevice(ups);
    const uint8_t* p = ups->payload;
    for (int i = 0; i < 4; ++i) ups->historyDurationA[i] = L(p, 4 * i);
    for (int i = 0; i < 4; ++i) ups->historyLevel[i] = RmsFromRaw(U(p, 16 + 2 * i));
    ups->historyMaxTemperature = static_cast<double>(BigEndianWord(p + 24) / 128) - 1;
    for (int i = 0; i < 6; ++i) ups->historyDurationB[i] = L(p, 26 + 4 * i);
    ups->historyCount[0] = UW(p, 50);
    ups->historyCount[1] = UW(p, 52);
}

void DecodeIdentity(_ZozeUps* ups) {
    auto lock = LockDevice(ups);
    CopyText(ups->productCodeRead, ups->payload, 0, 8);
    CopyText(ups->serialNumberRead, ups->payload, 8, 8);
}

void DecodeTuning(_ZozeUps* ups) {
    auto lock = LockDevice(ups);
    const uint8_t* p = ups->payload;
    for (int i = 0; i < 20; ++i) ups->tuningValue[i] = S(p, 2 * i);
    ups->k0 = S(p, 40);
    ups->k1 = S(p, 42);
    ups->pwmP = S(p, 44);
    std::printf("K0 %d K1 %d PwmP %d \n", ups->k0, ups->k1, ups->pwmP);
}

void DecodeUserParams(_ZozeUps* ups) {
    auto lock = LockDevice(ups);
    const uint8_t* p = ups->payload;
    UserParameters& u = ups->userParamsRead;
    u.upsAddress = UW(p, 0);
    for (int i = 0; i < 5; ++i) u.rmsLevel[i] = RmsFromRaw(U(p, 2 + 2 * i));
    u.auxValue1 = UW(p, 12);
    u.auxValue2 = U(p, 14);
    u.powerOnRestart = UW(p, 16);
    u.sleepDelay = UW(p, 18);
    u.option = UW(p, 20);
    u.restartDelay = UW(p, 22);
}

void DecodeSetup(_ZozeUps* ups) {
    auto lock = LockDevice(ups);
    const uint8_t* p = ups->payload;
    UpsSetup& s = ups->setupRead;
    s.ampereh = UW(p, 0);
    s.vCycle = U(p, 2) / 64;
    s.vStandby = U(p, 4) / 64;
    s.numBatt = UW(p, 6);
    s.sizeCode = UW(p, 8);
    s.functionMode = UW(p, 10);
    s.inputMode = UW(p, 12);
    s.vbattTh1 = U(p, 14) / 64;
    s.extra1 = U(p, 16) / 10;
    s.ibattTh1 = U(p, 18) / 8;
    s.extra2 = U(p, 20) / 10;
    s.ibattTh2 = U(p, 22) / 8;
    s.extra3 = U(p, 24) / 10;
    s.extra4 = U(p, 26) / 10;
    s.pwmLinMax = UW(p, 28);
    s.pwmLinMin = UW(p, 30);
    s.delay3 = U(p, 32) / 50;
    s.rl1 = UW(p, 34);
    s.rl2 = UW(p, 36);
    s.releMod = UW(p, 38);
    for (int i = 0; i < 8; ++i) s.pow[i] = UW(p, 40 + 2 * i);
    for (int i = 0; i < 8; ++i) s.period[i] = UW(p, 56 + 2 * i);
    s.fattore = U(p, 72) / 1024;
    s.delay5 = UW(p, 74);
    s.slope = U(p, 76) * 6.25;
    s.fStartPeriod = U(p, 78) * 0.00004;
    s.fStopPeriod = U(p, 80) * 0.00004;
    s.extra5 = UW(p, 82);
    ups->setupValid = 1;
}

void DecodeAdAmplitudes(_ZozeUps* ups) {
    auto lock = LockDevice(ups);
    for (int i = 0; i < 16; ++i) ups->adAmplitudeRead[i] = S(ups->payload, 2 * i);
    ups->adReadFlags |= 1;
}

void DecodeAdOffsets(_ZozeUps* ups) {
    auto lock = LockDevice(ups);
    for (int i = 0; i < 16; ++i) ups->adOffsetRead[i] = S(ups->payload, 2 * i);
    ups->adReadFlags |= 2;
}

void DecodeProtocolAdds(_ZozeUps* ups) {
    auto lock = LockDevice(ups);
    const uint8_t* p = ups->payload;
    ProtocolAdds& a = ups->protocolAddsRead;
    a.batteryAh = UW(p, 0);
    a.backupTime = UW(p, 2);
    CopyText(a.buildDate, p, 4, 8);
    CopyText(a.modelName, p, 12, 20);
    CopyText(a.manufacturer, p, 32, 20);
    CopyText(a.serviceContact, p, 52, 20);
    CopyText(a.servicePhone, p, 72, 20);
}

void DecodeAux(_ZozeUps* ups) {
    auto lock = LockDevice(ups);
    const uint8_t* p = ups->payload;
    for (int i = 0; i < 8; ++i) ups->auxWord[i] = UW(p, 2 * i);
    ups->auxLong = L(p, 16);
    for (int i = 0; i < 6; ++i) ups->auxWordB[i] = UW(p, 20 + 2 * i);
}

void DecodeBatteryTest(_ZozeUps* ups) {
    auto lock = LockDevice(ups);
    const uint8_t* p = ups->payload;
    ups->batteryTestStatus = UW(p, 0);
    ups->batteryTestTime[0] = L(p, 2);
    ups->batteryTestTime[1] = L(p, 6);
    for (int i = 0; i < 4; ++i) ups->batteryTestValue[i] = UW(p, 10 + 2 * i);
}

void DecodeNothing(_ZozeUps*) {}
