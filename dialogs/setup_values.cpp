#include "dialogs/setup_values.h"

#include <cmath>
#include <iterator>

#include "dialogs/dialog_fields.h"

namespace {
const ChoiceEntry numBatt[] = {{"2", 2}, {"3", 3}, {"4", 4}, {"5", 5}};
const ChoiceEntry size[] = {{"5k", 1}, {"10k", 2}, {"15k", 3}};
const ChoiceEntry function[] = {{"ONOFF", 0}, {"two-speed", 1}, {"variable", 2}};
const ChoiceEntry input[] = {{"AC1", 11}, {"AC3", 31}, {"DC1", 10}, {"DC/AC1", 111}, {"DC/AC3", 131}};
const ChoiceEntry rl1[] = {{"closed OFF", 0}, {"closed ON", 1}};
const ChoiceEntry rl2[] = {{"closed HI", 0}, {"closed LOW", 1}};
const ChoiceEntry relayMode[] = {{"mechanical", 0}, {"normal", 1}};

template <size_t N>
constexpr ChoiceList List(const ChoiceEntry (&entries)[N]) {
    return ChoiceList{entries, int(N)};
}

int32_t IndexOfValue(const ChoiceList& list, int32_t value, int32_t current) {
    for (int i = 0; i < list.count; ++i)
        if (list.entries[i].value == value) return i;
    return current;
}

QString PeriodToFrequencyText(double period) {
    return QString::asprintf("%.2f", period == 0 ? 0.0 : 1.0 / period);
}

// 1/f seconds; 0 for f = 0 and for an f so small that the period is not a finite number.
double FrequencyToPeriod(double f) {
    if (f == 0) return 0;
    const double period = 1.0 / f;
    return std::isfinite(period) ? period : 0;
}
}  // namespace

const ChoiceList kNumBattChoices = List(numBatt);
const ChoiceList kSizeChoices = List(size);
const ChoiceList kFunctionChoices = List(function);
const ChoiceList kInputChoices = List(input);
const ChoiceList kRl1Choices = List(rl1);
const ChoiceList kRl2Choices = List(rl2);
const ChoiceList kRelayModeChoices = List(relayMode);

int ClampChoice(const ChoiceList& list, int index) {
    return index >= 0 && index < list.count ? index : 0;
}

int32_t ChoiceValue(const ChoiceList& list, int index) {
    return list.entries[ClampChoice(list, index)].value;
}

int32_t TruncateToInt32(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0) return INT32_MAX;
    if (value <= -2147483648.0) return INT32_MIN;
    return int32_t(value);
}

int32_t SaturateToInt32(int64_t value) {
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return int32_t(value);
}

void FillFromSetup(const UpsSetup& s, SetupValues& v) {
    const int64_t sizeIn = s.sizeCode;
    v.ampereh = SaturateToInt32(int64_t(s.ampereh) * sizeIn);
    v.vcycle = QString::asprintf("%.2f", s.vCycle);
    v.vstandby = QString::asprintf("%.2f", s.vStandby);
    v.numBatt = IndexOfValue(kNumBattChoices, s.numBatt, v.numBatt);
    v.numBoard = IndexOfValue(kSizeChoices, s.sizeCode, v.numBoard);
    v.enable = IndexOfValue(kFunctionChoices, s.functionMode, v.enable);
    v.inputMode = IndexOfValue(kInputChoices, s.inputMode, v.inputMode);
    v.rl1 = IndexOfValue(kRl1Choices, s.rl1, v.rl1);
    v.rl2 = IndexOfValue(kRl2Choices, s.rl2, v.rl2);
    v.releMod = IndexOfValue(kRelayModeChoices, s.releMod, v.releMod);
    v.vbattTh1 = s.vbattTh1;
    v.ibattTh1 = s.ibattTh1 * double(sizeIn);
    v.ibattTh2 = s.ibattTh2 * double(sizeIn);
    v.pwmLinMax = s.pwmLinMax / 100.0 - 10;
    v.pwmLinMin = s.pwmLinMin / 100.0 - 10;
    v.delay3 = s.delay3;
    v.fattore = s.fattore;
    v.delay5 = s.delay5;
    v.slope = TruncateToInt32(s.slope + 0.5);
    v.fStart = PeriodToFrequencyText(s.fStartPeriod);
    v.fStop = PeriodToFrequencyText(s.fStopPeriod);
    for (int k = 0; k < 8; ++k) {
        v.pow[k] = SaturateToInt32(int64_t(s.pow[k]) * sizeIn);
        if (s.period[k] == 0) {
            v.pfreq[k] = 0;
        } else {
            const double hertz = 1.0 / (s.period[k] * 0.00004);
            v.pfreq[k] = std::floor(hertz * 10 + 0.5) / 10;
        }
    }
}

void StoreToSetup(const SetupValues& v, UpsSetup& w) {
    const int32_t size = ChoiceValue(kSizeChoices, v.numBoard);
    w.ampereh = v.ampereh / size;
    if (auto x = ReadDoubleText(v.vcycle)) w.vCycle = *x;
    if (auto x = ReadDoubleText(v.vstandby)) w.vStandby = *x;
    w.numBatt = ChoiceValue(kNumBattChoices, v.numBatt);
    w.sizeCode = size;
    w.functionMode = ChoiceValue(kFunctionChoices, v.enable);
    w.inputMode = ChoiceValue(kInputChoices, v.inputMode);
    w.rl1 = ChoiceValue(kRl1Choices, v.rl1);
    w.rl2 = ChoiceValue(kRl2Choices, v.rl2);
    w.releMod = ChoiceValue(kRelayModeChoices, v.releMod);
    w.vbattTh1 = v.vbattTh1;
    w.delay3 = v.delay3;
    w.fattore = v.fattore;
    w.delay5 = v.delay5;
    w.ibattTh1 = v.ibattTh1 / size;
    w.ibattTh2 = v.ibattTh2 / size;
    w.pwmLinMax = TruncateToInt32((v.pwmLinMax + 10) * 100);
    w.pwmLinMin = TruncateToInt32((v.pwmLinMin + 10) * 100);
    w.slope = double(v.slope);
    if (auto f = ReadDoubleText(v.fStart)) w.fStartPeriod = FrequencyToPeriod(*f);
    if (auto f = ReadDoubleText(v.fStop)) w.fStopPeriod = FrequencyToPeriod(*f);
    for (int k = 0; k < 8; ++k) {
        w.pow[k] = v.pow[k] / size;
        w.period[k] = v.pfreq[k] == 0 ? 0 : TruncateToInt32(1 / v.pfreq[k] / 0.00004);
    }
}

QString CheckPowerCurve(const SetupValues& v) {
    for (int k = 1; k < 8; ++k)
        if (!(v.pfreq[k - 1] < v.pfreq[k]) || v.pow[k] < v.pow[k - 1])
            return QStringLiteral("Frequency/power values must be in ascending order");
    const int32_t size = ChoiceValue(kSizeChoices, v.numBoard);
    for (int k = 0; k < 8; ++k) {
        if (!(v.pfreq[k] > 0) || v.pow[k] < 0)
            return QStringLiteral("Frequency/power values must be positive");
        if (v.pow[k] / size > 5000) return QStringLiteral("Power values exceed size");
    }
    return {};
}
