// Set requests: the record's write copies encoded as hex words into the transmit buffer and sent
// in one write. Scaled doubles are truncated toward zero and sent as their low 16 bits.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "link/device_lock.h"
#include "link/link_core.h"

namespace {

// Truncates toward zero and keeps the low 32 bits, for any double. Values far outside the int
// range wrap as the integer would; NaN and infinities send 0 instead of undefined behaviour.
uint32_t TruncLow32(double v) {
    if (!std::isfinite(v)) return 0;
    double m = std::fmod(std::trunc(v), 4294967296.0);
    if (m < 0) m += 4294967296.0;
    return static_cast<uint32_t>(m);
}

void BeginFrame(char commandChar, const _ZozeUps* ups) {
    TxCount = 0;
    TxBuffer[TxCount++] = static_cast<uint8_t>(ups->frameAddress & 0xFF);
    TxBuffer[TxCount++] = static_cast<uint8_t>(commandChar);
}

void PutWord(uint32_t value) {
    PutHexByte(static_cast<int>((value >> 8) & 0xFF));
    PutHexByte(static_cast<int>(value & 0xFF));
}
void PutWord(int32_t value) { PutWord(static_cast<uint32_t>(value)); }
void PutScaled(double value) { PutWord(TruncLow32(value)); }

void PutText(const char* text, int width) {
    for (int i = 0; i < width; ++i) PutHexByte(static_cast<uint8_t>(text[i]));
}

int Finish(_ZozeUps* ups, int frameLength) {
    FinishFrame(ups, frameLength);
    return static_cast<int>(ups->bytesWritten);
}

int BuildOneWord(char commandChar, int32_t word, _ZozeUps* ups) {
    BeginFrame(commandChar, ups);
    PutWord(word);
    return Finish(ups, 10);
}

}  // namespace

// Rounded to the nearest word rather than truncated: a level read from the unit comes back from
// the square root a hair below its word, and truncation would send it one lower on every write.
int RawFromRms(double x) { return static_cast<int>(TruncLow32(std::floor((x * 20) * (x * 20) / 1024 + 0.5))); }

int BuildWritePi(char commandChar, _ZozeUps* ups) {
    std::printf("set Pi %c \n", commandChar);
    auto lock = LockDevice(ups);
    BeginFrame(commandChar, ups);
    for (int16_t v : ups->piValue) PutWord(static_cast<int32_t>(v));
    return Finish(ups, 30);
}

int BuildWriteDebug(char commandChar, _ZozeUps* ups) {
    std::printf("set Pwm %c \n", commandChar);
    auto lock = LockDevice(ups);
    const int32_t* d = ups->debugWrite;
    if (std::FILE* f = std::fopen("valori.txt", "a+")) {
        std::fprintf(f, "%d %d %d %d %d %d %d %d %d %d %d %d\n", d[0], d[1], d[2], d[3], d[4], d[5],
                     d[6], d[7], d[8], d[9], d[10], d[11]);
        std::fclose(f);
    }
    BeginFrame(commandChar, ups);
    for (int i = 0; i < 12; ++i) PutWord(d[i]);
    return Finish(ups, 54);
}

int BuildWordCommand(char commandChar, _ZozeUps* ups) {
    std::printf("stop %c \n", commandChar);
    auto lock = LockDevice(ups);
    return BuildOneWord(commandChar, ups->debugWrite[0], ups);
}

int BuildTestBattery(char commandChar, _ZozeUps* ups) {
    std::printf("testbattery %c \n", commandChar);
    auto lock = LockDevice(ups);
    return BuildOneWord(commandChar, ups->batteryTestParam, ups);
}

int BuildStopAndGo(char commandChar, _ZozeUps* ups) {
    std::printf("Stop & Go Ups %c \n", commandChar);
    auto lock = LockDevice(ups);
    return BuildOneWord(commandChar, ups->stopGoValue, ups);
}

int BuildDecimalStop(char commandChar, _ZozeUps* ups) {
    std::printf("stop %c \n", commandChar);
    auto lock = LockDevice(ups);
    constexpr int kFrame = 10;
    BeginFrame(commandChar, ups);
    // The decimal text and its NUL, then zeros: the frame carries nothing of an earlier one.
    // A text too long for the frame is cut at its end, as the fixed frame length always did.
    char text[16];
    int len = std::snprintf(text, sizeof text, "%d", static_cast<int>(ups->debugWrite[0]));
    std::memset(TxBuffer + 2, 0, kFrame - 2);
    int n = len + 1 < kFrame - 2 ? len + 1 : kFrame - 2;
    std::memcpy(TxBuffer + 2, text, static_cast<size_t>(n));
    TxCount = kFrame;
    ups->bytesWritten = 0;
    int written = (ups->port && ups->port->write) ? ups->port->write(TxBuffer, kFrame, ups) : 0;
    ups->bytesWritten = written > 0 ? static_cast<uint32_t>(written) : 0;
    return static_cast<int>(ups->bytesWritten);
}

int BuildWriteSetup(char commandChar, _ZozeUps* ups) {
    std::printf("Set Ups %c \n", commandChar);
    auto lock = LockDevice(ups);
    const UpsSetup& s = ups->setupWrite;
    BeginFrame(commandChar, ups);
    PutWord(s.ampereh);
    PutScaled(s.vCycle * 64);
    PutScaled(s.vStandby * 64);
    PutWord(s.numBatt);
    PutWord(s.sizeCode);
    PutWord(s.functionMode);
    PutWord(s.inputMode);
    PutScaled(s.vbattTh1 * 64);
    PutScaled(s.extra1 * 10);
    PutScaled(s.ibattTh1 * 8);
    PutScaled(s.extra2 * 10);
    PutScaled(s.ibattTh2 * 8);
    PutScaled(s.extra3 * 10);
    PutScaled(s.extra4 * 10);
    PutWord(s.pwmLinMax);
    PutWord(s.pwmLinMin);
    PutScaled(s.delay3 * 50);
    PutWord(s.rl1);
    PutWord(s.rl2);
    PutWord(s.releMod);
    for (int32_t v : s.pow) PutWord(v);
    for (int32_t v : s.period) PutWord(v);
    PutScaled(s.fattore * 1024);
    PutWord(s.delay5);
    PutScaled(s.slope / 6.25 + 0.5);
    PutScaled(s.fStartPeriod / 0.00004);
    PutScaled(s.fStopPeriod / 0.00004);
    PutWord(s.extra5);
    return Finish(ups, 174);
}

int BuildWriteAdAmplitudes(char commandChar, _ZozeUps* ups) {
    auto lock = LockDevice(ups);
    BeginFrame(commandChar, ups);
    for (int32_t v : ups->adAmplitudeWrite) PutWord(v);
    return Finish(ups, 70);
}

int BuildWriteAdOffsets(char commandChar, _ZozeUps* ups) {
    auto lock = LockDevice(ups);
    BeginFrame(commandChar, ups);
    for (int32_t v : ups->adOffsetWrite) PutWord(v);
    return Finish(ups, 70);
}

int BuildWriteUserParams(char commandChar, _ZozeUps* ups) {
    auto lock = LockDevice(ups);
    const UserParameters& u = ups->userParamsWrite;
    BeginFrame(commandChar, ups);
    PutWord(u.upsAddress);
    for (double level : u.rmsLevel) PutWord(RawFromRms(level));
    PutWord(u.auxValue1);
    PutScaled(u.auxValue2);
    PutWord(u.powerOnRestart);
    PutWord(u.sleepDelay);
    PutWord(u.option);
    PutWord(u.restartDelay);
    return Finish(ups, 54);
}

int BuildWriteProtocolAdds1(char commandChar, _ZozeUps* ups) {
    auto lock = LockDevice(ups);
    const ProtocolAdds& a = ups->protocolAddsWrite;
    BeginFrame(commandChar, ups);
    PutWord(a.batteryAh);
    PutWord(a.backupTime);
    PutText(a.buildDate, 8);
    PutText(a.modelName, 20);
    return Finish(ups, 70);
}

int BuildWriteProtocolAdds2(char commandChar, _ZozeUps* ups) {
    auto lock = LockDevice(ups);
    const ProtocolAdds& a = ups->protocolAddsWrite;
    BeginFrame(commandChar, ups);
    PutText(a.manufacturer, 20);
    PutText(a.serviceContact, 20);
    PutText(a.servicePhone, 20);
    return Finish(ups, 126);
}

int BuildWriteIdentity(char commandChar, _ZozeUps* ups) {
    auto lock = LockDevice(ups);
    BeginFrame(commandChar, ups);
    PutText(ups->productCodeWrite, 8);
    PutText(ups->serialNumberWrite, 8);
    return Finish(ups, 38);
}
