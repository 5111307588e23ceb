#include "dialogs/dialog_fields.h"

#include <QLineEdit>
#include <cerrno>
#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <locale.h>
#include <string>

#include "widgets/message_box.h"

const char* const kIntMessage = "Immettere un valore integer.";
const char* const kUIntMessage = "Digitare un valore integer positivo.";
const char* const kDoubleMessage = "Immettere un numero.";

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Sign and magnitude of the integer at the start of text, the magnitude held at `limit`.
bool ScanMagnitude(const char* text, size_t length, uint64_t limit, bool* negative,
                   uint64_t* magnitude, size_t* consumed) {
    size_t i = 0;
    while (i < length && IsBlank(text[i])) ++i;
    *negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) *negative = text[i++] == '-';
    const size_t firstDigit = i;
    uint64_t value = 0;
    while (i < length && IsDigit(text[i])) {
        value = value * 10 + uint64_t(text[i] - '0');
        if (value > limit) value = limit + 1;  // stays small enough never to overflow
        ++i;
    }
    if (i == firstDigit) return false;
    *magnitude = value;
    if (consumed) *consumed = i;
    return true;
}

locale_t CLocale() {
    static locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(0));
    return c;
}

QByteArray FirstChars(const QString& text, int count) {
    // Latin-1 keeps one byte per character; anything beyond it turns into '?', which ends a number.
    return text.left(count).toLatin1();
}

}  // namespace

std::optional<int32_t> ScanInt32(const char* text, size_t length, size_t* consumed) {
    bool negative = false;
    uint64_t magnitude = 0;
    if (consumed) *consumed = 0;
    if (!ScanMagnitude(text, length, uint64_t(INT32_MAX) + 1, &negative, &magnitude, consumed))
        return std::nullopt;
    if (negative) return magnitude > uint64_t(INT32_MAX) ? INT32_MIN : -int32_t(magnitude);
    return magnitude > uint64_t(INT32_MAX) ? INT32_MAX : int32_t(magnitude);
}

std::optional<uint32_t> ScanUInt32(const char* text, size_t length, size_t* consumed) {
    bool negative = false;
    uint64_t magnitude = 0;
    if (consumed) *consumed = 0;
    if (!ScanMagnitude(text, length, UINT32_MAX, &negative, &magnitude, consumed))
        return std::nullopt;
    if (magnitude > UINT32_MAX) magnitude = UINT32_MAX;
    const uint32_t value = uint32_t(magnitude);
    return negative ? uint32_t(0u - value) : value;
}

std::optional<double> ScanDouble(const char* text, size_t length, size_t* consumed) {
    if (consumed) *consumed = 0;
    size_t i = 0;
    while (i < length && IsBlank(text[i])) ++i;
    const size_t start = i;
    if (i < length && (text[i] == '+' || text[i] == '-')) ++i;
    size_t digits = 0;
    while (i < length && IsDigit(text[i])) ++i, ++digits;
    if (i < length && text[i] == '.') {
        ++i;
        while (i < length && IsDigit(text[i])) ++i, ++digits;
    }
    if (digits == 0) return std::nullopt;
    if (i < length && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        if (j < length && (text[j] == '+' || text[j] == '-')) ++j;
        if (j < length && IsDigit(text[j])) {
            while (j < length && IsDigit(text[j])) ++j;
            i = j;
        }
    }
    const std::string number(text + start, i - start);
    double value = strtod_l(number.c_str(), nullptr, CLocale());
    if (std::isinf(value)) value = std::signbit(value) ? -DBL_MAX : DBL_MAX;
    if (consumed) *consumed = i;
    return value;
}

std::optional<int32_t> ReadIntText(const QString& text) {
    const QByteArray bytes = FirstChars(text, 63);
    return ScanInt32(bytes.constData(), size_t(bytes.size()));
}

std::optional<uint32_t> ReadUIntText(const QString& text) {
    const QByteArray bytes = FirstChars(text, 63);
    return ScanUInt32(bytes.constData(), size_t(bytes.size()));
}

std::optional<double> ReadDoubleText(const QString& text) {
    const QByteArray bytes = FirstChars(text, 399);
    return ScanDouble(bytes.constData(), size_t(bytes.size()));
}

QString ShowInt(int64_t value) { return QString::number(value); }

QString ShowDouble(double value) { return QString::asprintf("%.*g", 15, value); }

QString OutOfRangeMessage(const QString& caption, const QString& lo, const QString& hi,
                          const QString& unit, bool zeroToo) {
    const QString withUnit = unit.isEmpty() ? hi : hi + QLatin1Char(' ') + unit;
    const QString range = QStringLiteral("between %1 and %2").arg(lo, withUnit);
    return QStringLiteral("\"%1\" must be %2%3: it goes to the unit as one 16-bit word.")
        .arg(caption, zeroToo ? QStringLiteral("0 or ") : QString(), range);
}

void DialogFields::Int(QLineEdit* edit, int32_t* field, std::optional<FieldRange> range) {
    bindings_.push_back({Kind::Int, edit, field, std::move(range)});
}
void DialogFields::UInt(QLineEdit* edit, uint32_t* field, std::optional<FieldRange> range) {
    bindings_.push_back({Kind::UInt, edit, field, std::move(range)});
}
void DialogFields::Double(QLineEdit* edit, double* field) { bindings_.push_back({Kind::Double, edit, field}); }
void DialogFields::Text(QLineEdit* edit, QString* field) { bindings_.push_back({Kind::Text, edit, field}); }

void DialogFields::Show() const {
    for (const Binding& b : bindings_) {
        switch (b.kind) {
        case Kind::Int: b.edit->setText(ShowInt(*static_cast<int32_t*>(b.field))); break;
        case Kind::UInt: b.edit->setText(ShowInt(*static_cast<uint32_t*>(b.field))); break;
        case Kind::Double: b.edit->setText(ShowDouble(*static_cast<double*>(b.field))); break;
        case Kind::Text: b.edit->setText(*static_cast<QString*>(b.field)); break;
        }
    }
}

bool DialogFields::ReadOne(const Binding& b) const {
    const QString text = b.edit->text();
    switch (b.kind) {
    case Kind::Int:
        if (auto v = ReadIntText(text)) return *static_cast<int32_t*>(b.field) = *v, true;
        return false;
    case Kind::UInt:
        if (auto v = ReadUIntText(text)) return *static_cast<uint32_t*>(b.field) = *v, true;
        return false;
    case Kind::Double:
        if (auto v = ReadDoubleText(text)) return *static_cast<double*>(b.field) = *v, true;
        return false;
    case Kind::Text: *static_cast<QString*>(b.field) = text; return true;
    }
    return false;
}

bool DialogFields::InRange(const Binding& b) const {
    if (!b.range) return true;
    const int64_t v = b.kind == Kind::Int ? int64_t(*static_cast<int32_t*>(b.field))
                                          : int64_t(*static_cast<uint32_t*>(b.field));
    return v >= b.range->lo && v <= b.range->hi;
}

bool DialogFields::Read() {
    for (const Binding& b : bindings_) {
        QString message;
        if (!ReadOne(b)) {
            message = QString::fromLatin1(b.kind == Kind::Int    ? kIntMessage
                                          : b.kind == Kind::UInt ? kUIntMessage
                                                                 : kDoubleMessage);
        } else if (!InRange(b)) {
            message = OutOfRangeMessage(b.range->caption, QString::number(b.range->lo),
                                        QString::number(b.range->hi));
        } else {
            continue;
        }
        ShowMessageBox(owner_, message, QStringLiteral("Vespero"), BoxIcon::Exclamation);
        b.edit->setFocus(Qt::OtherFocusReason);
        b.edit->selectAll();
        return false;
    }
    return true;
}

void DialogFields::ReadQuiet() {
    for (const Binding& b : bindings_) ReadOne(b);
}
