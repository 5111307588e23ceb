// Wire encoding: request frames sum their bytes unsigned, replies sum their characters signed.
#include "link/device_lock.h"
#include "link/link_core.h"

uint8_t TxBuffer[TX_BUFFER_SIZE];
int TxCount;

namespace {

// Longest reply a record can hold; anything longer cannot have come from the poll step.
constexpr int kMaxReplyLength = static_cast<int>(sizeof(_ZozeUps::rxText));

int WriteToPort(const uint8_t* data, int len, _ZozeUps* ups) {
    ups->bytesWritten = 0;
    int written = (ups->port && ups->port->write) ? ups->port->write(data, len, ups) : 0;
    ups->bytesWritten = written > 0 ? static_cast<uint32_t>(written) : 0;
    return written;
}

// A received character as the unit's firmware sums it: a signed byte.
int SignedChar(char c) { return static_cast<int8_t>(static_cast<uint8_t>(c)); }

int Nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    int v = SignedChar(c);
    if (v >= 'a' && v <= 'z') v -= 'a' - 'A';
    return v - 55;  // 'A'..'F' give 10..15; anything else a wrong nibble
}

}  // namespace

int SendQuery(char commandChar, _ZozeUps* ups) {
    auto lock = LockDevice(ups);
    ups->frameAddress = 0x80;
    ups->txQuery[0] = 0x80;
    ups->txQuery[1] = static_cast<uint8_t>(commandChar);
    WriteToPort(&ups->txQuery[0], 1, ups);
    WriteToPort(&ups->txQuery[1], 1, ups);
    return 2;
}

void PutHexByte(int value) {
    static const char digits[] = "0123456789ABCDEF";
    if (TxCount < 0 || TxCount > TX_BUFFER_SIZE - 2) return;
    TxBuffer[TxCount++] = static_cast<uint8_t>(digits[(value >> 4) & 0x0F]);
    TxBuffer[TxCount++] = static_cast<uint8_t>(digits[value & 0x0F]);
}

void FinishFrame(_ZozeUps* ups, int frameLength) {
    if (frameLength < 4) frameLength = 4;
    if (frameLength > TX_BUFFER_SIZE) frameLength = TX_BUFFER_SIZE;
    unsigned sum = 0;
    for (int i = 0; i < frameLength - 4; ++i) sum += TxBuffer[i];
    sum &= 0xFFFF;
    TxCount = frameLength - 4;
    PutHexByte(static_cast<int>(sum >> 8));
    PutHexByte(static_cast<int>(sum & 0xFF));
    auto lock = LockDevice(ups);
    WriteToPort(TxBuffer, frameLength, ups);
}

int CheckReply(const char* text, uint8_t* out, int length) {
    // Acknowledgements (and an empty reply) carry no checksum: any characters are good.
    if (length < 6) return 1;
    if (length > kMaxReplyLength) return 0;
    // Odd lengths make the checksum reach one character past the reply; it reads as the NUL
    // the poll step puts there, without touching memory beyond the reply.
    auto at = [&](int i) -> char { return i < length ? text[i] : '\0'; };

    int sum = SignedChar(at(0)) + SignedChar(at(1));
    const int pairs = (length - 6 + 1) / 2;
    int pos = 2;
    for (int i = 0; i < pairs; ++i, pos += 2) {
        char hi = at(pos), lo = at(pos + 1);
        sum += SignedChar(hi) + SignedChar(lo);
        out[i] = static_cast<uint8_t>(Nibble(hi) * 16 + Nibble(lo));
    }
    out[pairs] = 0;
    int expected = 0;
    for (int i = 0; i < 4; ++i) expected = expected * 16 + Nibble(at(pos + i));
    return (expected & 0xFFFF) == (sum & 0xFFFF) ? 1 : 0;
}

unsigned BigEndianWord(const uint8_t* p) { return static_cast<unsigned>(p[0]) * 256u + p[1]; }

uint32_t WordSwappedLong(const uint8_t* p) {
    return static_cast<uint32_t>(BigEndianWord(p + 2)) * 65536u + BigEndianWord(p);
}
