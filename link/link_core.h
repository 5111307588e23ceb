// Internal interface of the link engine: everything the poll step, the port layer, the tests and
// the window side need beyond the public header. Free functions over plain records; every
// operation takes the record it works on as its last argument. No Qt, no platform header.
#pragma once

#include <cstdint>

#include "ups_link.h"

// ---- Frame codec -----------------------------------------------------------------------------
enum { TX_BUFFER_SIZE = 174 };
extern uint8_t TxBuffer[TX_BUFFER_SIZE];  // link thread only
extern int TxCount;

int SendQuery(char commandChar, _ZozeUps* ups);   // two one-byte writes; returns 2
void PutHexByte(int value);                       // appends two hex characters to TxBuffer
void FinishFrame(_ZozeUps* ups, int frameLength); // checksum + one write of the frame
int CheckReply(const char* text, uint8_t* out, int length);  // 1 accepted, 0 mismatch
unsigned BigEndianWord(const uint8_t* p);
uint32_t WordSwappedLong(const uint8_t* p);

// ---- Command table and ring ------------------------------------------------------------------
struct CommandEntry {
    int32_t code;
    int (*build)(char commandChar, _ZozeUps* ups);
    char commandChar;
    int32_t replyLength;
    void (*decode)(_ZozeUps* ups);
};
extern const CommandEntry CommandTable[];

int FindCommand(int code);
int EnqueueCommand(int code, _ZozeUps* ups);  // 0 stored; -1 unknown code or full ring
int NextCommand(_ZozeUps* ups);               // next code, retry slot first; -1 when none
void SetRetry(int code, _ZozeUps* ups);

// ---- Decoders --------------------------------------------------------------------------------
double RmsFromRaw(double x);
double FrequencyFromPeriod(double x);
double TemperatureFromRaw(double x);
int DecodeStatusBlock(UpsStatusBlock* target, const uint8_t* payload);  // returns 52
void DecodeStatus(_ZozeUps* ups);
void DecodeBatteryFailure(_ZozeUps* ups);
void DecodeSystemFailure(_ZozeUps* ups);
void DecodeAnalog(_ZozeUps* ups);
void DecodeVersion(_ZozeUps* ups);
void DecodeInfo(_ZozeUps* ups);
void DecodeDebug(_ZozeUps* ups);
void DecodeHistory(_ZozeUps* ups);
void DecodeIdentity(_ZozeUps* ups);
void DecodeTuning(_ZozeUps* ups);
void DecodeUserParams(_ZozeUps* ups);
void DecodeSetup(_ZozeUps* ups);
void DecodeAdAmplitudes(_ZozeUps* ups);
void DecodeAdOffsets(_ZozeUps* ups);
void DecodeProtocolAdds(_ZozeUps* ups);
void DecodeAux(_ZozeUps* ups);
void DecodeBatteryTest(_ZozeUps* ups);
void DecodeNothing(_ZozeUps* ups);

// ---- Builders --------------------------------------------------------------------------------
int RawFromRms(double x);
int BuildWritePi(char commandChar, _ZozeUps* ups);
int BuildWriteDebug(char commandChar, _ZozeUps* ups);
int BuildWordCommand(char commandChar, _ZozeUps* ups);
int BuildTestBattery(char commandChar, _ZozeUps* ups);
int BuildStopAndGo(char commandChar, _ZozeUps* ups);
int BuildDecimalStop(char commandChar, _ZozeUps* ups);
int BuildWriteSetup(char commandChar, _ZozeUps* ups);
int BuildWriteAdAmplitudes(char commandChar, _ZozeUps* ups);
int BuildWriteAdOffsets(char commandChar, _ZozeUps* ups);
int BuildWriteUserParams(char commandChar, _ZozeUps* ups);
int BuildWriteProtocolAdds1(char commandChar, _ZozeUps* ups);
int BuildWriteProtocolAdds2(char commandChar, _ZozeUps* ups);
int BuildWriteIdentity(char commandChar, _ZozeUps* ups);

// ---- State texts -----------------------------------------------------------------------------
void StatusTexts(_ZozeUps* ups);

// ---- Device table, poll step and the link loop -----------------------------------------------
enum { ERROR_IO_PENDING_CODE = 997 };
void SetDefaultPortOps(const UpsPortOps* ops);  // what InitDeviceTable puts in every record
void InitDeviceTable(void);
void InitDevice(_ZozeUps* ups);
void PollStep(_ZozeUps* ups);

// Opens a present unit's port. On failure (the port layer has already told the user why) posts
// WM_UPS_EVENT (2, comPort) and ends the process with status -1 through the exit handler.
void OpenDevicePort(_ZozeUps* ups);
using LinkExitHandler = void (*)(int status);
void SetLinkExitHandler(LinkExitHandler handler);  // tests; default flushes and _Exit()s

// The link thread's body, in three pieces so a thread of any kind can run it:
void LinkStartup(void);   // clear the table, read settings, open present ports
int LinkPass(void);       // reload if asked, one PollStep per present unit; returns units polled
void LinkShutdown(void);  // purge and close every open port

// Process-wide link state shared with the window thread.
int TakeReloadRequest(void);        // returns the request and clears it (link thread)
void RequestReload(void);           // KeybCommand type 18
int LinkStopRequested(void);
void SetLinkStopRequested(int stop);

// ---- Notifications to the registered window --------------------------------------------------
// The core does not know how a message reaches a window; the port layer installs the poster.
using LinkPoster = void (*)(void* window, int message, uintptr_t wParam, intptr_t lParam);
void SetLinkPoster(LinkPoster poster);
void* RegisteredWindow(void);
void PostToRegisteredWindow(int message, uintptr_t wParam, intptr_t lParam);  // no-op if none

// ---- Link settings ---------------------------------------------------------------------------
// Where the values live is the port layer's business (QSettings); the core reaches it through
// this table. Without a store every read fails and every write reports 0.
struct LinkSettingsStore {
    int (*readText)(const char* name, char* buffer, int size);  // 1 when read, text NUL-ended
    int (*writeText)(const char* name, const char* text);       // 1 when the store was writable
};
void SetLinkSettingsStore(const LinkSettingsStore* store);
int ParseLeadingInt(const char* text, int* value);  // 1 when text starts with a decimal integer
int ReadRegistryInt(const char* name, int fallback);
int WriteRegistryString(const char* name, const char* text);
int WriteRegistryInt(const char* name, int value);
void ReadLinkSettings(void);
void SaveLinkSettings(void);
