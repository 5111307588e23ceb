// The dialogs' one way of moving values between their fields and their edit controls.
//
// Show puts every field into its control: integers in decimal, doubles with "%.*g" at 15
// significant digits, texts as they are. Read takes every control back, in table order; a
// numeric field takes the number at the start of the text and ignores the rest. The first field
// that does not read stops the pass (earlier fields keep their new values), reports its message
// over the dialog, and takes the focus with its text selected.
//
// Out-of-range numbers never wrap silently into something unrelated:
//  - signed fields saturate at INT32_MIN / INT32_MAX;
//  - unsigned fields saturate their magnitude at 4294967295; a minus sign then keeps the value
//    modulo 2^32 ("-1" reads 4294967295, "-4294967295" reads 1);
//  - doubles beyond the largest finite value saturate at +-DBL_MAX; tiny ones go to 0.
// A field bound with a range (a 16-bit word on the wire) also fails when its number lies
// outside it, with a message that names the field and the range.
#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

class QLineEdit;
class QWidget;

// Pure scanners over bytes: optional blanks (space, tab, CR, LF, VT, FF), then the number.
// consumed receives how many bytes the number (with its leading blanks) took; 0 = no number.
std::optional<int32_t> ScanInt32(const char* text, size_t length, size_t* consumed = nullptr);
std::optional<uint32_t> ScanUInt32(const char* text, size_t length, size_t* consumed = nullptr);
// A decimal number only: [sign] digits [. digits] [e|E [sign] digits], at least one mantissa
// digit. No hex, no "inf", no "nan"; independent of the process locale.
std::optional<double> ScanDouble(const char* text, size_t length, size_t* consumed = nullptr);

// The field rules applied to a control's text (first 63 characters for integers, first 399 for
// doubles; characters beyond Latin-1 simply end the number).
std::optional<int32_t> ReadIntText(const QString& text);
std::optional<uint32_t> ReadUIntText(const QString& text);
std::optional<double> ReadDoubleText(const QString& text);

QString ShowInt(int64_t value);
QString ShowDouble(double value);  // "%.*g", 15 digits

// Fields that travel to the unit as one 16-bit word take only what that word holds; anything
// else would arrive wrapped into an unrelated value. The message names the field and its range.
struct FieldRange {
    int64_t lo;
    int64_t hi;
    QString caption;
};
inline FieldRange UnsignedWord(const QString& caption) { return {0, 65535, caption}; }
inline FieldRange SignedWord(const QString& caption) { return {-32768, 32767, caption}; }

// "<caption>" must be between lo and hi[ unit]; with zeroToo, 0 is allowed besides the range.
QString OutOfRangeMessage(const QString& caption, const QString& lo, const QString& hi,
                          const QString& unit = {}, bool zeroToo = false);

extern const char* const kIntMessage;     // "Immettere un valore integer."
extern const char* const kUIntMessage;    // "Digitare un valore integer positivo."
extern const char* const kDoubleMessage;  // "Immettere un numero."

class DialogFields {
public:
    explicit DialogFields(QWidget* owner) : owner_(owner) {}

    // Bindings are read in the order they are added.
    // With a range, a number outside it fails the pass like text that is no number.
    void Int(QLineEdit* edit, int32_t* field, std::optional<FieldRange> range = std::nullopt);
    void UInt(QLineEdit* edit, uint32_t* field, std::optional<FieldRange> range = std::nullopt);
    void Double(QLineEdit* edit, double* field);
    void Text(QLineEdit* edit, QString* field);

    void Show() const;
    // Returns false at the first field that does not read, after its message box.
    bool Read();
    // Takes every field that reads and leaves the others as they are; no message, no focus.
    void ReadQuiet();

private:
    enum class Kind { Int, UInt, Double, Text };
    struct Binding {
        Kind kind;
        QLineEdit* edit;
        void* field;
        std::optional<FieldRange> range = std::nullopt;
    };
    bool ReadOne(const Binding& b) const;
    bool InRange(const Binding& b) const;

    QWidget* owner_;
    std::vector<Binding> bindings_;
};
