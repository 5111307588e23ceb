#include "dialogs/setup_values.h"

#include <cmath>
#include <iterator>
#include <vector>

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

namespace {

const char* const kPowKeys[8] = {"pow0", "pow1", "pow2", "pow3", "pow4", "pow5", "pow6", "pow7"};
const char* const kPfreqKeys[8] = {"pfreq0", "pfreq1", "pfreq2", "pfreq3",
                                   "pfreq4", "pfreq5", "pfreq6", "pfreq7"};

// Stores the values; converted receives the keys of the fields taken from the dialog.
void Store(const SetupValues& v, UpsSetup& w, const SetupBaseline* b, QSet<QString>* converted) {
    const int32_t size = ChoiceValue(kSizeChoices, v.numBoard);
    const bool sizeAsRead = b && b->read.sizeCode == size;
    // True when the field goes back as read; perSize: shown as a total for the power size.
    auto asRead = [&](const char* key, bool perSize = false) {
        const bool keep = b && b->untouched.contains(QLatin1String(key)) && (!perSize || sizeAsRead);
        if (!keep && converted) converted->insert(QLatin1String(key));
        return keep;
    };
    const UpsSetup& r = b ? b->read : w;

    w.ampereh = asRead("Ampereh", true) ? r.ampereh : v.ampereh / size;
    if (asRead("Vcycle")) w.vCycle = r.vCycle;
    else if (auto x = ReadDoubleText(v.vcycle)) w.vCycle = *x;
    if (asRead("Vstandby")) w.vStandby = r.vStandby;
    else if (auto x = ReadDoubleText(v.vstandby)) w.vStandby = *x;
    w.numBatt = ChoiceValue(kNumBattChoices, v.numBatt);
    w.sizeCode = size;
    w.functionMode = ChoiceValue(kFunctionChoices, v.enable);
    w.inputMode = ChoiceValue(kInputChoices, v.inputMode);
    w.rl1 = ChoiceValue(kRl1Choices, v.rl1);
    w.rl2 = ChoiceValue(kRl2Choices, v.rl2);
    w.releMod = ChoiceValue(kRelayModeChoices, v.releMod);
    w.vbattTh1 = asRead("VbattTH1") ? r.vbattTh1 : v.vbattTh1;
    w.delay3 = asRead("delay3") ? r.delay3 : v.delay3;
    w.fattore = asRead("fattore") ? r.fattore : v.fattore;
    w.delay5 = asRead("delay5") ? r.delay5 : v.delay5;
    w.ibattTh1 = asRead("IbattTH1", true) ? r.ibattTh1 : v.ibattTh1 / size;
    w.ibattTh2 = asRead("IbattTH2", true) ? r.ibattTh2 : v.ibattTh2 / size;
    w.pwmLinMax = asRead("pwm_lin_max") ? r.pwmLinMax : TruncateToInt32((v.pwmLinMax + 10) * 100);
    w.pwmLinMin = asRead("pwm_lin_min") ? r.pwmLinMin : TruncateToInt32((v.pwmLinMin + 10) * 100);
    w.slope = asRead("slope") ? r.slope : double(v.slope);
    if (asRead("f_start")) w.fStartPeriod = r.fStartPeriod;
    else if (auto f = ReadDoubleText(v.fStart)) w.fStartPeriod = FrequencyToPeriod(*f);
    if (asRead("f_stop")) w.fStopPeriod = r.fStopPeriod;
    else if (auto f = ReadDoubleText(v.fStop)) w.fStopPeriod = FrequencyToPeriod(*f);
    for (int k = 0; k < 8; ++k) {
        w.pow[k] = asRead(kPowKeys[k], true) ? r.pow[k] : v.pow[k] / size;
        if (asRead(kPfreqKeys[k])) w.period[k] = r.period[k];
        else w.period[k] = v.pfreq[k] == 0 ? 0 : TruncateToInt32(1 / v.pfreq[k] / 0.00004);
    }
}

// Bounds shown in a message are rounded inward to two decimals, so the numbers it names fit.
QString LowBound(double x) { return QString::number(std::ceil(x * 100 - 1e-6) / 100, 'g', 12); }
QString HighBound(double x) { return QString::number(std::floor(x * 100 + 1e-6) / 100, 'g', 12); }

bool WordFits(double raw, bool zeroToo = false, int64_t lowest = 0) {
    if (!std::isfinite(raw)) return false;
    if (zeroToo && raw == 0) return true;
    const double t = std::trunc(raw);
    return t >= double(lowest) && t <= 65535;
}

// A start/stop frequency: 0 (no period) or one whose period counts 1 to 65535 steps. Judged
// on the typed number, since a frequency too small for a finite period is stored as 0.
bool FrequencyFits(const QString& text, double period) {
    const auto f = ReadDoubleText(text);
    if (!f) return WordFits(period / 0.00004, true, 1);  // kept as read
    return *f == 0 || (period != 0 && WordFits(period / 0.00004, false, 1));
}

}  // namespace

void StoreToSetup(const SetupValues& v, UpsSetup& w, const SetupBaseline* baseline) {
    Store(v, w, baseline, nullptr);
}

WireWordProblem CheckWireWords(const SetupValues& v, const SetupBaseline* baseline) {
    UpsSetup w = baseline ? baseline->read : UpsSetup{};
    QSet<QString> converted;
    Store(v, w, baseline, &converted);
    const double size = w.sizeCode;

    struct Word {
        QString key;
        QString caption;
        const char* unit;
        bool fits;
        double lo, hi;  // in the user's units
        bool zeroToo;
    };
    // The highest frequency whose period still counts one step, the lowest whose period fits.
    const double fHigh = 1 / 0.00004, fLow = 1 / (65535.999 * 0.00004);
    std::vector<Word> words = {
        {"Ampereh", "Imax charge", "A", WordFits(w.ampereh), 0, 65535 * size, false},
        {"Vcycle", "Vcycle", "V", WordFits(w.vCycle * 64), 0, 65535 / 64.0, false},
        {"Vstandby", "Vstandby", "V", WordFits(w.vStandby * 64), 0, 65535 / 64.0, false},
        {"VbattTH1", "VbattTH1", "V", WordFits(w.vbattTh1 * 64), 0, 65535 / 64.0, false},
        {"IbattTH1", "IbattTH1", "A", WordFits(w.ibattTh1 * 8), 0, 65535 / 8.0 * size, false},
        {"IbattTH2", "IoutTH2", "A", WordFits(w.ibattTh2 * 8), 0, 65535 / 8.0 * size, false},
        {"pwm_lin_max", "V max", "V", WordFits(w.pwmLinMax), -10, 65535 / 100.0 - 10, false},
        {"pwm_lin_min", "V min", "V", WordFits(w.pwmLinMin), -10, 65535 / 100.0 - 10, false},
        {"delay3", "Tacc", "s", WordFits(w.delay3 * 50), 0, 65535 / 50.0, false},
        {"delay5", "Max start time", "s", WordFits(w.delay5), 0, 65535, false},
        {"fattore", "D.P.F.", "", WordFits(w.fattore * 1024), 0, 65535 / 1024.0, false},
        {"slope", "Max slope", "A/s", WordFits(w.slope / 6.25 + 0.5), 0, std::floor(65535 * 6.25), false},
        {"f_start", "Freq start", "Hz", FrequencyFits(v.fStart, w.fStartPeriod), fLow, fHigh, true},
        {"f_stop", "Freq stop", "Hz", FrequencyFits(v.fStop, w.fStopPeriod), fLow, fHigh, true},
    };
    for (int k = 0; k < 8; ++k)
        words.push_back({kPowKeys[k], QStringLiteral("Pot. (W), row %1").arg(k + 1), "W",
                         WordFits(w.pow[k]), 0, 65535 * size, false});
    for (int k = 0; k < 8; ++k)
        words.push_back({kPfreqKeys[k], QStringLiteral("Frequency (Hz), row %1").arg(k + 1), "Hz",
                         WordFits(w.period[k], false, 1), fLow, fHigh, false});

    for (const Word& word : words) {
        if (word.fits || !converted.contains(word.key)) continue;
        return {word.key, OutOfRangeMessage(word.caption, LowBound(word.lo), HighBound(word.hi),
                                            QString::fromLatin1(word.unit), word.zeroToo)};
    }
    return {};
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
