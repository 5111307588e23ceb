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
// How often the unit has accepted the command `code`, and how often the link gave it up after its
// retries, since the link started: a caller that queued a command sees it carried out or lost.
// 0 for a code outside the table. Takes the device lock.
int CommandOutcomes(int code, const _ZozeUps* ups, uint32_t* accepted, uint32_t* dropped);

// Opens a present unit's port. On failure (the port layer has already told the user why) posts
// WM_UPS_EVENT (2, comPort) and ends the process with status -1 through the exit handler, or,
// when the failure policy says so, leaves the port to be retried like a lost one.
void OpenDevicePort(_ZozeUps* ups);
using LinkExitHandler = void (*)(int status);
void SetLinkExitHandler(LinkExitHandler handler);  // tests; default flushes and _Exit()s
void ShowTimeout(_ZozeUps* ups);  // "Timeout" in stateText, once per loss of link

// ---- Port recovery ---------------------------------------------------------------------------
// A port whose read reports UPS_PORT_LOST is closed at once; the unit shows "Timeout" and the loop
// reopens the port, resolving its name afresh each time: every second while no device stands at
// the name, otherwise with a backoff of 1, 2, 4, then 5 s. Each try posts WM_UPS_REFRESH, so the
// window goes on showing the loss. After a reopen the unit is polled as one that answers again.
enum { PORT_RETRY_FIRST_MS = 1000, PORT_RETRY_MAX_MS = 5000 };
// What a port that cannot be opened at start or reload does: end the process (the window, which
// has nothing to show without it) or wait to be retried (a service, whose USB adapter may appear
// only after it has started).
enum { OPEN_FAILURE_ENDS_PROCESS = 0, OPEN_FAILURE_RETRIES = 1 };
void SetOpenFailurePolicy(int policy);
int PortOpenIsRetry(void);   // 1 while the loop reopens a port (link thread): failures are expected
int PortIsDown(int device);  // 1 while the unit's port waits to be reopened
int LinkHasStarted(void);    // 1 once the link has read its settings and opened the units' ports
using LinkClock = int64_t (*)(void);
void SetLinkClock(LinkClock clock);  // tests; default a steady clock in milliseconds

// The link thread's body, in three pieces so a thread of any kind can run it:
void LinkStartup(void);   // clear the table, read settings, open present ports
int LinkPass(void);       // reload if asked, one PollStep per present unit; returns units polled
// After a pass that polled nothing, how long the loop may rest: until the first port waiting to
// be reopened is due, at most LINK_REST_MAX_MS. The rest ends at once on a stop or reload request,
// so a longer one costs no reaction time and no reconnect waits past its due time.
enum { LINK_REST_MAX_MS = 1000 };
int LinkRestMs(void);
void LinkRest(int ms);
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
