// Preset files as a user may hand them to the set-up dialog, followed to the wire.
//
// Arbitrary bytes (longer than the read limit too) go to ParsePreset twice: whole, and cut at the
// read limit as Load and Default cut them. Whatever it reads must survive a save and a load: the
// lines written for the values read, loaded again, write the same lines. The values then take
// the dialog's OK path (power-curve check, StoreToSetup) and the link builds the 174-byte set-up
// frame from them: every byte after the two leading ones uppercase hex, the checksum right.
#include <QByteArray>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "dialogs/preset_file.h"
#include "dialogs/setup_values.h"
#include "link/link_core.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_preset: invariant broken: %s\n", what);
    std::abort();
}

uint8_t frame[TX_BUFFER_SIZE];
int frameLength = 0;

int CaptureWrite(const uint8_t* data, int len, _ZozeUps*) {
    frameLength = len;
    std::memcpy(frame, data, size_t(len) < sizeof frame ? size_t(len) : sizeof frame);
    return len;
}
int NoOpen(_ZozeUps*) { return 0; }
int NoRead(char*, int, uint32_t* error, _ZozeUps*) { return *error = 0, 0; }
void NoPurge(int, _ZozeUps*) {}
void NoClose(_ZozeUps*) {}
const UpsPortOps kCapturePort = {NoOpen, CaptureWrite, NoRead, NoPurge, NoClose};

bool IsUpperHex(uint8_t c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

void CheckSetupFrame(const SetupValues& values) {
    auto ups = std::make_unique<_ZozeUps>();
    ups->port = &kCapturePort;
    ups->frameAddress = 0x80;
    StoreToSetup(values, ups->setupWrite);
    frameLength = 0;
    BuildWriteSetup('U', ups.get());
    if (frameLength != 174) Fail("set-up frame length");
    if (frame[0] != 0x80 || frame[1] != 'U') Fail("set-up frame start");
    unsigned sum = 0;
    for (int i = 0; i < 170; ++i) sum += frame[i];
    for (int i = 2; i < 174; ++i)
        if (!IsUpperHex(frame[i])) Fail("set-up frame character");
    char tail[5];
    std::snprintf(tail, sizeof tail, "%04X", sum & 0xFFFF);
    if (std::memcmp(frame + 170, tail, 4) != 0) Fail("set-up frame checksum");
}

void CheckValues(const char* bytes, size_t length) {
    SetupValues values;
    const PresetParse result = ParsePreset(bytes, length, values);
    if (result != PresetParse::Complete && result != PresetParse::TooFewLines) Fail("parse result");

    const int32_t* lists[] = {&values.numBatt, &values.numBoard, &values.enable, &values.inputMode,
                              &values.rl1, &values.rl2, &values.releMod};
    const ChoiceList* tables[] = {&kNumBattChoices, &kSizeChoices, &kFunctionChoices, &kInputChoices,
                                  &kRl1Choices, &kRl2Choices, &kRelayModeChoices};
    for (int i = 0; i < 7; ++i)
        if (*lists[i] < 0 || *lists[i] >= tables[i]->count) Fail("list index outside its table");

    // Save and load again: the second save writes the same lines as the first.
    const QByteArray saved = FormatPreset(values);
    SetupValues reloaded;
    if (ParsePreset(saved.constData(), size_t(saved.size()), reloaded) != PresetParse::Complete)
        Fail("saved preset does not load completely");
    if (FormatPreset(reloaded) != saved) Fail("save/load/save changes the lines");

    (void)CheckPowerCurve(values);
    CheckSetupFrame(values);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The builders trace to standard output.
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    CheckValues(bytes, size);
    if (size > size_t(kPresetReadLimit)) CheckValues(bytes, size_t(kPresetReadLimit));
    return 0;
}
