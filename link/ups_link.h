// Public interface of the UPS link: the device record and table, the command codes, the
// KeybCommand types, the window messages and the functions another module needs to drive the
// same link. Plain C++ structures; no Qt and no platform header here.
#pragma once

#include <cstdint>

// ---- Blocks of the device record -------------------------------------------------------------

struct UpsStatusBlock {
    double inputVoltage;
    double inputFrequency;
    double inputCurrent;
    double outputVoltage;
    double outputCurrent;
    double outputPower;
    double outputFrequency;
    double batteryVoltage;
    double internalVoltage1;
    double internalVoltage2;
    uint16_t aux1, aux2;
    double inverterTemperature;
    double caseTemperature;
    uint16_t flags12;
    uint16_t flags34;
    uint16_t stateCode;
    int16_t standbyReason;
    double batteryTemperature;
    uint32_t powerUnits;
    uint32_t currentUnits;
    uint16_t aux3, aux4, aux5;
    uint32_t powerPercent;
    uint32_t ccbStatus;
};

struct UserParameters {
    uint32_t upsAddress;
    double rmsLevel[5];
    int32_t auxValue1;
    double auxValue2;
    int32_t powerOnRestart;
    int32_t sleepDelay;
    int32_t option;
    int32_t restartDelay;
};

struct UpsSetup {
    int32_t ampereh;
    double vCycle;
    double vStandby;
    int32_t numBatt;
    int32_t sizeCode;
    int32_t functionMode;
    int32_t inputMode;
    double vbattTh1;
    double extra1;
    double ibattTh1;
    double extra2;
    double ibattTh2;
    double extra3;
    double extra4;
    int32_t pwmLinMax;
    int32_t pwmLinMin;
    double delay3;
    int32_t rl1;
    int32_t rl2;
    int32_t releMod;
    int32_t pow[8];
    int32_t period[8];
    double fattore;
    int32_t delay5;
    double slope;
    double fStartPeriod;
    double fStopPeriod;
    int32_t extra5;
};

struct ProtocolAdds {
    int32_t batteryAh;
    int32_t backupTime;
    char buildDate[9];
    char modelName[21];
    char manufacturer[21];
    char serviceContact[21];
    char servicePhone[21];
};

// Read time-outs applied before every read, in milliseconds (the serial layer's own names).
struct CommTimeouts {
    uint32_t readIntervalTimeout;
    uint32_t readTotalTimeoutMultiplier;
    uint32_t readTotalTimeoutConstant;
    uint32_t writeTotalTimeoutMultiplier;
    uint32_t writeTotalTimeoutConstant;
};

// Stands where the overlapped-I/O block stood: the port is used synchronously, so it only
// carries the code of the last port error for the trace line after an empty read.
struct PortCompletion {
    uint32_t lastError;
};

struct _ZozeUps;

// How the link reaches a serial port. Each record holds a pointer to one of these tables, so the
// poll step runs unchanged over a real port, a pseudo-terminal or a scripted test port.
struct UpsPortOps {
    // Opens and configures the record's port (comPort, baudRate). 0 on success; -1 when the port
    // cannot be opened, -2 when it opened but cannot be configured, -3 when no device stands at
    // the port's name (yet): an adapter that is unplugged. Never ends the process itself.
    // Runs without the device lock, on a private copy of the record (it may wait on the window to
    // report a failure): it reads comPort and baudRate and leaves the port in portHandle, which
    // the link then stores in the record.
    int (*open)(_ZozeUps* ups);
    // Writes len bytes; returns the count written (also left in bytesWritten by the caller).
    int (*write)(const uint8_t* data, int len, _ZozeUps* ups);
    // Reads up to wanted characters into dest, waiting at most 500 + 5 ms per wanted character.
    // Returns the count read; *error receives the platform error code when nothing came, or
    // UPS_PORT_LOST when the port can no longer be used (hang-up, I/O error, device removed or
    // replaced): the link then closes it and reopens it until it works again.
    // Must not touch the record's fields: the poll step stores the result itself.
    int (*read)(char* dest, int wanted, uint32_t* error, _ZozeUps* ups);
    // Drops pending characters: which = PORT_PURGE_RX and/or PORT_PURGE_TX.
    void (*purge)(int which, _ZozeUps* ups);
    void (*close)(_ZozeUps* ups);
};

enum { PORT_PURGE_RX = 1, PORT_PURGE_TX = 2 };
// Bit 29 set: an application's own code, never one of the platform's.
enum : uint32_t { UPS_PORT_LOST = 0x20000001u };

// ---- The device record -----------------------------------------------------------------------

struct _ZozeUps {
    UpsStatusBlock status;                 // 1
    int32_t adAmplitudeRead[16];           // 2
    int32_t adAmplitudeWrite[16];          // 3
    int32_t adOffsetRead[16];              // 4
    int32_t adOffsetWrite[16];             // 5
    int32_t adReadFlags;                   // 6
    int32_t setupValid;                    // 7
    UpsStatusBlock batteryFailure;         // 8
    UpsStatusBlock systemFailure;          // 9
    uint16_t failureCounters[17];          // 10
    UserParameters userParamsRead;         // 11
    UserParameters userParamsWrite;        // 12
    UpsSetup setupRead;                    // 13
    UpsSetup setupWrite;                   // 14
    double analogValue[12];                // 15
    uint32_t historyDurationA[4];          // 16
    double historyLevel[4];                // 17
    double historyMaxTemperature;          // 18
    uint32_t historyDurationB[6];          // 19
    uint16_t historyCount[2];              // 20
    char productCodeRead[9];               // 21
    char serialNumberRead[9];              // 22
    char productCodeWrite[9];              // 23
    char serialNumberWrite[9];             // 24
    ProtocolAdds protocolAddsRead;         // 25
    ProtocolAdds protocolAddsWrite;        // 26
    int32_t auxWord[8];                    // 27
    uint32_t auxLong;                      // 28
    int32_t auxWordB[6];                   // 29
    int16_t infoWord[6];                   // 30
    int16_t piValue[6];                    // 31
    int32_t debugRead[12];                 // 32
    int32_t debugWrite[12];                // 33
    char stateText[40];                    // 34
    char stateDetail[40];                  // 35
    void* portHandle;                      // 36 open port object; nullptr when closed
    uint32_t bytesRead;                    // 37
    uint32_t bytesWritten;                 // 38
    PortCompletion overlapped;             // 39
    int32_t pollPhase;                     // 40
    int32_t activeCommand;                 // 41
    int32_t baudRate;                      // 42
    int32_t emptyReadCount;                // 43
    uint8_t payload[2000];                 // 44
    int32_t activeIndex;                   // 45
    int32_t linkState;                     // 46
    CommTimeouts timeouts;                 // 47
    int32_t errorCount;                    // 48
    int32_t timeoutShown;                  // 49
    int32_t frameAddress;                  // 50
    int32_t rxCount;                       // 51
    int32_t present;                       // 52
    uint8_t txQuery[512];                  // 53
    char rxText[2000];                     // 54
    int32_t comPort;                       // 55
    int32_t comPortChosen;                 // 56
    int32_t debugFlag;                     // 57
    char hostname[52];                     // 58
    int32_t portNumber;                    // 59
    int32_t ring[100];                     // 60
    int32_t ringRead;                      // 61
    int32_t ringWrite;                     // 62
    int32_t retryCommand;                  // 63
    int32_t retryPending;                  // 64
    int32_t stopGoValue;                   // 65
    int32_t tuningValue[20];               // 66
    int32_t k0, k1, pwmP;                  // 67
    int32_t retryCount;                    // 68
    int32_t batteryTestParam;              // 69
    int32_t batteryTestStatus;             // 70
    uint32_t batteryTestTime[2];           // 71
    int32_t batteryTestValue[4];           // 72
    char firmwareVersion[12];              // 73
    // Link-owned, after the exported fields so their order is kept: the port backend in use.
    const UpsPortOps* port;
};

// ---- Link states, command codes, KeybCommand types, messages ---------------------------------

enum { LINK_READY = 0, LINK_AWAITING_REPLY = 1 };

enum UpsCommandCode {
    CMD_READ_STATUS = 96,
    CMD_READ_ANALOG = 97,
    CMD_WRITE_PI = 99,
    CMD_READ_VERSION = 100,
    CMD_READ_INFO = 101,
    CMD_READ_DEBUG = 104,
    CMD_WRITE_DEBUG = 105,
    CMD_STOP_SAVE = 106,
    CMD_READ_HISTORY = 107,
    CMD_READ_IDENTITY = 108,
    CMD_READ_TUNING = 109,
    CMD_READ_SYSTEM_FAILURE = 110,
    CMD_READ_BATTERY_FAILURE = 111,
    CMD_READ_USER_PARAMS = 112,
    CMD_READ_SETUP = 113,
    CMD_WRITE_SETUP = 115,
    CMD_STOP_AND_GO = 119,
    CMD_STOP_DECIMAL = 121,
    CMD_READ_AD_AMPLITUDES = 122,
    CMD_WRITE_AD_AMPLITUDES = 123,
    CMD_READ_AD_OFFSETS = 127,
    CMD_WRITE_AD_OFFSETS = 128,
    CMD_WRITE_USER_PARAMS = 130,
    CMD_WRITE_IDENTITY = 131,
    CMD_RESET_EEPROM = 144,
    CMD_READ_PROTOCOL_ADDS = 145,
    CMD_WRITE_PROTOCOL_ADDS_1 = 146,
    CMD_WRITE_PROTOCOL_ADDS_2 = 147,
    CMD_READ_AUX = 148,
    CMD_TEST_BATTERY = 149,
    CMD_READ_BATTERY_TEST = 150,
    CMD_RECHARGE = 151,
};

enum KeybCommandType {
    KEYB_WRITE_DEBUG = 1,
    KEYB_WRITE_AD = 13,
    KEYB_WRITE_USER_PARAMS = 14,
    KEYB_WRITE_IDENTITY = 15,
    KEYB_WRITE_SETUP = 16,
    KEYB_SAVE_HOST = 17,
    KEYB_RELOAD_PORTS = 18,
    KEYB_STOP_SAVE = 21,
    KEYB_STOP_DECIMAL = 22,
    KEYB_RESET_EEPROM = 25,
    KEYB_WRITE_PROTOCOL_ADDS = 26,
    KEYB_TEST_BATTERY = 27,
    KEYB_RECHARGE = 28,
};

// Message numbers as the window sees them (WM_USER + 15 and + 16). Posted to the registered
// receiver as events whose type() equals the number; see link/port/ups_event.h.
enum { WM_UPS_REFRESH = 0x0400 + 15, WM_UPS_EVENT = 0x0400 + 16 };

// ---- Exported by name ------------------------------------------------------------------------

extern "C" {
extern _ZozeUps MainUps[4];

// Queues work for a device (see the KEYB_ types). Always returns 1.
int KeybCommand(int type, int device, int value, int unused);

// Registers the object that receives WM_UPS_REFRESH and WM_UPS_EVENT (a QObject* in this
// program; nullptr unregisters). Returns 0.
int SendHwnd(void* window);

// The link thread's procedure: clears the table, reads the link settings, opens the ports of the
// present units and polls them until StopLinkThread is called.
void LinkThread(void);

// Starts LinkThread on its own thread (once; a second call does nothing) and stops it in order:
// the loop ends after its current pass, the ports are purged and closed, the thread is joined.
void StartLinkThread(void);
void StopLinkThread(void);
}
