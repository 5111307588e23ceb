// The set-up dialog's values in the units the user sees (totals for the power size, volts,
// hertz), their choice lists, and the conversions to and from the unit's UpsSetup block. Kept
// apart from the widgets so the conversions and the preset files can be tested on their own.
#pragma once

#include <QSet>
#include <QString>
#include <cstdint>

#include "link/ups_link.h"

struct ChoiceEntry {
    const char* label;
    int32_t value;
};

struct ChoiceList {
    const ChoiceEntry* entries;
    int count;
};

extern const ChoiceList kNumBattChoices;    // "2" "3" "4" "5"
extern const ChoiceList kSizeChoices;       // "5k"=1 "10k"=2 "15k"=3
extern const ChoiceList kFunctionChoices;   // "ONOFF" "two-speed" "variable"
extern const ChoiceList kInputChoices;      // "AC1"=11 "AC3"=31 "DC1"=10 "DC/AC1"=111 "DC/AC3"=131
extern const ChoiceList kRl1Choices;        // "closed OFF" "closed ON"
extern const ChoiceList kRl2Choices;        // "closed HI" "closed LOW"
extern const ChoiceList kRelayModeChoices;  // "mechanical" "normal"

// An index outside the table counts as the first entry.
int ClampChoice(const ChoiceList& list, int index);
int32_t ChoiceValue(const ChoiceList& list, int index);

// The dialog's fields, named like the preset keys.
struct SetupValues {
    int32_t ampereh = 0;
    QString vcycle = QStringLiteral("0");
    QString vstandby = QStringLiteral("0");
    int32_t numBatt = 2;  // "4"
    int32_t numBoard = 0;
    int32_t enable = 0;
    int32_t inputMode = 0;
    double vbattTh1 = 0;
    double ibattTh1 = 0;
    double ibattTh2 = 0;
    double pwmLinMax = 0;
    double pwmLinMin = 0;
    double delay3 = 0;
    int32_t rl1 = 0;
    int32_t rl2 = 0;
    int32_t releMod = 0;
    int32_t delay5 = 0;
    double fattore = 0;
    int32_t slope = 0;
    QString fStart = QStringLiteral("0");
    QString fStop = QStringLiteral("0");
    int32_t pow[8] = {};
    double pfreq[8] = {};

    bool operator==(const SetupValues&) const = default;
};

// Values as the unit reported them. List fields that match no entry keep what values held.
void FillFromSetup(const UpsSetup& setup, SetupValues& values);

// What the dialog showed when it opened. An edit field whose text is still the one shown (its
// preset key in untouched) goes back to the unit exactly as read: converting the shown text back
// would lose a unit or more in the last place (3609 -> 3608, period 25000 -> 24999). Totals for
// the power size keep the read value only while the size is the one read.
struct SetupBaseline {
    UpsSetup read{};
    QSet<QString> untouched;
};

// Stores the values into write, which must already hold a copy of the unit's setupRead: the
// fields the dialog does not edit travel back unchanged, and so do Vcycle/Vstandby and the
// start/stop periods when their text does not begin with a number. Without a baseline every
// field is converted from the dialog's value.
void StoreToSetup(const SetupValues& values, UpsSetup& write, const SetupBaseline* baseline = nullptr);

// The first field, in the dialog's order, whose converted value its 16-bit word on the wire
// cannot hold; an empty key when every one fits. Fields that go back as read are not checked.
struct WireWordProblem {
    QString key;  // preset key of the field
    QString message;
};
WireWordProblem CheckWireWords(const SetupValues& values, const SetupBaseline* baseline = nullptr);

// The power-curve checks made before OK closes the dialog; an empty text when they pass.
QString CheckPowerCurve(const SetupValues& values);

// Guards for doubles headed into int32 fields: NaN gives 0, the rest truncates toward zero and
// saturates at the int32 range.
int32_t TruncateToInt32(double value);
int32_t SaturateToInt32(int64_t value);
