#include <QDialog>
#include <QLineEdit>
#include <cfloat>
#include <cmath>
#include <optional>

#include "dialogs/dialog_fields.h"
#include "support.h"

namespace {

struct IntCase {
    const char* text;
    std::optional<int32_t> expect;
};

TEST(FieldRules, SignedIntegers) {
    const IntCase cases[] = {
        {"42", 42},           {"  -17", -17},      {"+8", 8},           {"\t5", 5},
        {"12abc", 12},        {"7 V", 7},          {"0", 0},            {"", std::nullopt},
        {"abc", std::nullopt}, {"-", std::nullopt}, {"- 5", std::nullopt}, {" ", std::nullopt},
        {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN},
        {"2147483648", INT32_MAX}, {"-99999999999999999999999", INT32_MIN},
        {"1e3", 1},           {"0x10", 0},          {"３", std::nullopt},  // full-width digit
    };
    for (const auto& c : cases) EXPECT_EQ(ReadIntText(QString::fromUtf8(c.text)), c.expect) << c.text;
}

TEST(FieldRules, OnlyTheFirst63CharactersCount) {
    EXPECT_EQ(ReadIntText(QString(62, ' ') + "7"), 7);
    EXPECT_EQ(ReadIntText(QString(63, ' ') + "7"), std::nullopt);
    EXPECT_EQ(ReadIntText(QString(70, '9')), INT32_MAX);
}

TEST(FieldRules, UnsignedWrapsMinusModulo2To32) {
    EXPECT_EQ(ReadUIntText("-1"), 4294967295u);
    EXPECT_EQ(ReadUIntText("-4294967295"), 1u);
    EXPECT_EQ(ReadUIntText("4294967295"), 4294967295u);
    EXPECT_EQ(ReadUIntText("4294967296"), 4294967295u);
    EXPECT_EQ(ReadUIntText("-0"), 0u);
    EXPECT_EQ(ReadUIntText(" 12 volts"), 12u);
    EXPECT_EQ(ReadUIntText(""), std::nullopt);
}

TEST(FieldRules, Doubles) {
    EXPECT_EQ(ReadDoubleText("2.5"), 2.5);
    EXPECT_EQ(ReadDoubleText("  -0.25V"), -0.25);
    EXPECT_EQ(ReadDoubleText(".5"), 0.5);
    EXPECT_EQ(ReadDoubleText("5."), 5.0);
    EXPECT_EQ(ReadDoubleText("1e3"), 1000.0);
    EXPECT_EQ(ReadDoubleText("1e"), 1.0);
    EXPECT_EQ(ReadDoubleText("1e+"), 1.0);
    EXPECT_EQ(ReadDoubleText("2,5"), 2.0);  // the decimal point is always '.'
    EXPECT_EQ(ReadDoubleText("."), std::nullopt);
    EXPECT_EQ(ReadDoubleText("inf"), std::nullopt);
    EXPECT_EQ(ReadDoubleText("nan"), std::nullopt);
    EXPECT_EQ(ReadDoubleText("0x1p3"), 0.0);
    EXPECT_EQ(ReadDoubleText(""), std::nullopt);
    EXPECT_EQ(ReadDoubleText("1e999"), DBL_MAX);
    EXPECT_EQ(ReadDoubleText("-1e999"), -DBL_MAX);
    EXPECT_EQ(ReadDoubleText("1e-999"), 0.0);
    EXPECT_EQ(ReadDoubleText(QString(398, ' ') + "4"), 4.0);
    EXPECT_EQ(ReadDoubleText(QString(399, ' ') + "4"), std::nullopt);
    EXPECT_EQ(ReadDoubleText(QString(5000, '9')).value(), DBL_MAX);
}

TEST(FieldRules, Showing) {
    EXPECT_EQ(ShowDouble(62.5), "62.5");
    EXPECT_EQ(ShowDouble(0.1), "0.1");
    EXPECT_EQ(ShowDouble(1.0 / 3), "0.333333333333333");
    EXPECT_EQ(ShowDouble(1e20), "1e+20");
    EXPECT_EQ(ShowInt(-5), "-5");
}

TEST(FieldRules, ScannersStayWithinTheirLength) {
    const char text[] = "123";
    EXPECT_EQ(ScanInt32(text, 2), 12);
    EXPECT_EQ(ScanDouble(text, 1), 1.0);
    EXPECT_EQ(ScanUInt32(text, 0), std::nullopt);
    size_t used = 0;
    EXPECT_EQ(ScanDouble(" 1.5e2x", 7, &used), 150.0);
    EXPECT_EQ(used, 6u);
}

TEST(FieldRules, ArbitraryTextNeverBreaksTheScanners) {
    uint32_t seed = 99;
    const char alphabet[] = " \t+-.eE0123456789x\xff\x80";
    for (int round = 0; round < 20000; ++round) {
        char text[48];
        const size_t n = seed % sizeof text;
        for (size_t i = 0; i < n; ++i) {
            seed = seed * 1664525u + 1013904223u;
            text[i] = (seed >> 28) < 12 ? alphabet[(seed >> 8) % (sizeof alphabet - 1)] : char(seed >> 16);
        }
        size_t used = 0;
        if (ScanInt32(text, n, &used)) EXPECT_LE(used, n);
        if (ScanUInt32(text, n, &used)) EXPECT_LE(used, n);
        if (auto d = ScanDouble(text, n, &used)) {
            EXPECT_LE(used, n);
            EXPECT_TRUE(std::isfinite(*d));
        }
        seed = seed * 1664525u + 1013904223u;
    }
}

// A pass over three fields: the first that fails stops it, keeps earlier values, reports its
// own message and takes the focus with its text selected.
TEST(FieldRules, ReadPassStopsAtTheFirstFailingField) {
    Seams seams;
    QDialog dialog;
    auto* a = new QLineEdit(&dialog);
    auto* b = new QLineEdit(&dialog);
    auto* c = new QLineEdit(&dialog);
    auto* t = new QLineEdit(&dialog);
    int32_t ia = 1;
    uint32_t ub = 2;
    double dc = 3;
    QString text = "x";
    DialogFields fields(&dialog);
    fields.Int(a, &ia);
    fields.UInt(b, &ub);
    fields.Double(c, &dc);
    fields.Text(t, &text);
    fields.Show();
    EXPECT_EQ(a->text(), "1");
    EXPECT_EQ(c->text(), "3");
    dialog.show();

    a->setText("10");
    b->setText("oops");
    c->setText("7.5");
    EXPECT_FALSE(fields.Read());
    EXPECT_EQ(ia, 10);
    EXPECT_EQ(ub, 2u);
    EXPECT_EQ(dc, 3.0);
    ASSERT_EQ(seams.boxes.size(), 1u);
    EXPECT_EQ(seams.boxes[0].text, "Digitare un valore integer positivo.");
    EXPECT_TRUE(seams.boxes[0].owned);
    EXPECT_EQ(dialog.focusWidget(), b);
    EXPECT_EQ(b->selectedText(), "oops");

    b->setText("5");
    c->setText("");
    EXPECT_FALSE(fields.Read());
    EXPECT_EQ(seams.boxes.back().text, "Immettere un numero.");
    a->setText("z");
    EXPECT_FALSE(fields.Read());
    EXPECT_EQ(seams.boxes.back().text, "Immettere un valore integer.");

    a->setText("1");
    c->setText("2e1 Hz");
    t->setText("  any text  ");
    EXPECT_TRUE(fields.Read());
    EXPECT_EQ(dc, 20.0);
    EXPECT_EQ(text, "  any text  ");
}

}  // namespace
