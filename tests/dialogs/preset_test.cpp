#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "dialogs/preset_file.h"
#include "dialogs/ruv_set.h"
#include "support.h"

namespace {

SetupValues Sample() {
    SetupValues v;
    v.ampereh = 25;
    v.vcycle = "56.40";
    v.vstandby = "54.00";
    v.numBatt = 3;
    v.numBoard = 1;
    v.enable = 2;
    v.inputMode = 4;
    v.vbattTh1 = 48.5;
    v.ibattTh1 = 13.55;
    v.ibattTh2 = 7;
    v.pwmLinMax = 2.5;
    v.pwmLinMin = -10;
    v.delay3 = 1.5;
    v.rl1 = 1;
    v.rl2 = 1;
    v.releMod = 1;
    v.delay5 = 30;
    v.fattore = 0.8;
    v.slope = 12;
    v.fStart = "50.00";
    v.fStop = "45.00";
    for (int k = 0; k < 8; ++k) {
        v.pfreq[k] = 40 + k * 2.5;
        v.pow[k] = 1000 * k;
    }
    return v;
}

QList<QByteArray> Lines(const QByteArray& text) {
    QList<QByteArray> lines = text.split('\n');
    if (!lines.isEmpty() && lines.back().isEmpty()) lines.pop_back();
    for (auto& l : lines) l.chop(1);  // the CR
    return lines;
}

QByteArray Join(const QList<QByteArray>& lines, const char* end = "\r\n") {
    QByteArray out;
    for (const auto& l : lines) out += l + end;
    return out;
}

TEST(PresetFormat, ThirtySevenLinesInOrder) {
    const QByteArray text = FormatPreset(Sample());
    EXPECT_TRUE(text.endsWith("slope=12\r\n"));
    const auto lines = Lines(text);
    ASSERT_EQ(lines.size(), 37);
    EXPECT_EQ(lines[0], "Ampereh=25");
    EXPECT_EQ(lines[1], "Vcycle=56.40");
    EXPECT_EQ(lines[3], "NumBatt=3");
    EXPECT_EQ(lines[4], "num_board=1");
    EXPECT_EQ(lines[6], "input_mode=4");
    EXPECT_EQ(lines[8], "IbattTH1=13.6");
    EXPECT_EQ(lines[10], "pwm_lin_max=2.5");
    EXPECT_EQ(lines[11], "pwm_lin_min=-10.0");
    EXPECT_EQ(lines[17], "f_start=50.00");
    EXPECT_EQ(lines[19], "pfreq0=40.0");
    EXPECT_EQ(lines[20], "pow0=0");
    EXPECT_EQ(lines[33], "pfreq7=57.5");
    EXPECT_EQ(lines[34], "pow7=7000");
    EXPECT_EQ(lines[35], "fattore=0.8");
}

TEST(PresetFormat, RoundTripRoundsDoublesAndCutsTexts) {
    SetupValues v = Sample();
    v.vcycle = "56.4 V";
    const QByteArray text = FormatPreset(v);
    SetupValues back;
    ASSERT_EQ(ParsePreset(text.constData(), size_t(text.size()), back), PresetParse::Complete);
    SetupValues expect = v;
    expect.ibattTh1 = 13.6;
    expect.vcycle = "56.4";
    EXPECT_EQ(back, expect);
}

TEST(PresetFormat, LineEndsInsideATextDoNotShiftTheFile) {
    SetupValues v = Sample();
    v.fStart = "50\r\nf_stop=1";
    const QByteArray text = FormatPreset(v);
    EXPECT_EQ(Lines(text).size(), 37);
    SetupValues back;
    ASSERT_EQ(ParsePreset(text.constData(), size_t(text.size()), back), PresetParse::Complete);
    EXPECT_EQ(back.fStart, "50");
    EXPECT_EQ(back.fStop, "45.00");
}

TEST(PresetFormat, LinesMatchByPositionOnly) {
    auto lines = Lines(FormatPreset(Sample()));
    lines[0] = "Ampereh= 31 A";     // blank after "=" and a unit: fine
    lines[1] = "Vcycle =57";        // blank before "=": no match
    lines[2] = "vstandby=53";       // other letter case: no match
    lines[3] = "NumBatt=7";         // outside the table: first entry
    lines[4] = "num_board=-1";
    std::swap(lines[7], lines[8]);  // both keep their values
    lines[16] = "delay5=";          // missing value
    lines[17] = "f_start=   ";      // missing text
    lines[18] = "f_stop=  47.5 Hz";
    SetupValues v;
    const QByteArray text = Join(lines);
    ASSERT_EQ(ParsePreset(text.constData(), size_t(text.size()), v), PresetParse::Complete);
    const SetupValues fresh;
    EXPECT_EQ(v.ampereh, 31);
    EXPECT_EQ(v.vcycle, fresh.vcycle);
    EXPECT_EQ(v.vstandby, fresh.vstandby);
    EXPECT_EQ(v.numBatt, 0);
    EXPECT_EQ(v.numBoard, 0);
    EXPECT_EQ(v.vbattTh1, fresh.vbattTh1);
    EXPECT_EQ(v.ibattTh1, fresh.ibattTh1);
    EXPECT_EQ(v.ibattTh2, 7.0);
    EXPECT_EQ(v.delay5, fresh.delay5);
    EXPECT_EQ(v.fStart, fresh.fStart);
    EXPECT_EQ(v.fStop, "47.5");
    EXPECT_EQ(v.slope, 12);
}

TEST(PresetFormat, LineEndsAndEmptyLines) {
    const auto lines = Lines(FormatPreset(Sample()));
    for (const char* end : {"\n", "\r", "\r\n\r\n", "\n\n\r"}) {
        SetupValues v;
        QByteArray text = "\r\n\n" + Join(lines, end);
        ASSERT_EQ(ParsePreset(text.constData(), size_t(text.size()), v), PresetParse::Complete);
        EXPECT_EQ(v.slope, 12) << end;
        EXPECT_EQ(v.pow[7], 7000);
    }
    // A line of blanks counts as a line: everything after it is matched one entry late.
    auto shifted = lines;
    shifted.insert(0, "   ");
    SetupValues v;
    QByteArray text = Join(shifted);
    ASSERT_EQ(ParsePreset(text.constData(), size_t(text.size()), v), PresetParse::Complete);
    EXPECT_EQ(v, SetupValues{});
}

TEST(PresetFormat, ShortFiles) {
    auto lines = Lines(FormatPreset(Sample()));
    lines.removeAt(3);  // no NumBatt line: 36 lines, every later entry unchanged, load completes
    SetupValues v;
    QByteArray text = Join(lines);
    ASSERT_EQ(ParsePreset(text.constData(), size_t(text.size()), v), PresetParse::Complete);
    EXPECT_EQ(v.ampereh, 25);
    EXPECT_EQ(v.vstandby, "54.00");
    EXPECT_EQ(v.numBatt, SetupValues{}.numBatt);
    EXPECT_EQ(v.slope, 0);

    auto full = Lines(FormatPreset(Sample()));
    full.removeLast();  // 36 lines: slope keeps its value
    v = SetupValues{};
    text = Join(full);
    EXPECT_EQ(ParsePreset(text.constData(), size_t(text.size()), v), PresetParse::Complete);
    EXPECT_EQ(v.fattore, 0.8);
    EXPECT_EQ(v.slope, 0);

    full.removeLast();  // 35 lines
    v = SetupValues{};
    text = Join(full);
    EXPECT_EQ(ParsePreset(text.constData(), size_t(text.size()), v), PresetParse::TooFewLines);

    v = SetupValues{};
    EXPECT_EQ(ParsePreset("", 0, v), PresetParse::TooFewLines);
    EXPECT_EQ(v, SetupValues{});
}

TEST(PresetFormat, ArbitraryBytesNeverCrash) {
    uint32_t seed = 12345;
    for (int round = 0; round < 2000; ++round) {
        QByteArray bytes;
        const int n = int(seed % 2001);
        for (int i = 0; i < n; ++i) {
            seed = seed * 1664525u + 1013904223u;
            bytes += char(seed >> 24);
        }
        // Salt some rounds with real keys so the value scanners get exercised.
        if (round % 3 == 0) bytes = FormatPreset(Sample()).left(int(seed % 1200)) + bytes;
        SetupValues v;
        ParsePreset(bytes.constData(), size_t(bytes.size()), v);
        EXPECT_GE(v.numBatt, 0);
        EXPECT_LT(v.numBatt, kNumBattChoices.count);
        EXPECT_LT(v.inputMode, kInputChoices.count);
    }
}

// ---- through the dialog ----

class PresetDialog : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        oldCwd = QDir::currentPath();
        QDir::setCurrent(dir.path());
    }
    void TearDown() override { QDir::setCurrent(oldCwd); }
    QString Path(const char* name) { return dir.filePath(QString::fromLatin1(name)); }
    void WriteFile(const char* name, const QByteArray& bytes) {
        QFile f(Path(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QTemporaryDir dir;
    QString oldCwd;
    Seams seams;
};

TEST_F(PresetDialog, SaveThenLoadThroughTheButtons) {
    UpsSetup s{};
    CRuvSet a(s, true);
    WriteFile("old.txt", QByteArray(5000, 'x'));  // replaced without a question
    Edit(&a, "edit_Ampereh")->setText("33");
    Edit(&a, "edit_pfreq7")->setText("61.25");
    seams.fileAnswers = {Path("old.txt")};
    a.OnSave();
    ASSERT_EQ(seams.fileAsks, std::vector<bool>{true});
    EXPECT_TRUE(seams.boxes.empty());
    QFile f(Path("old.txt"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray saved = f.readAll();
    EXPECT_TRUE(saved.startsWith("Ampereh=33\r\nVcycle=0.00\r\n"));
    EXPECT_TRUE(saved.contains("\r\npfreq7=61.2\r\n") || saved.contains("\r\npfreq7=61.3\r\n"));
    EXPECT_EQ(Lines(saved).size(), 37);

    CRuvSet b(s, true);
    seams.fileAnswers = {Path("old.txt")};
    b.OnLoad();
    EXPECT_EQ(b.values().ampereh, 33);
    EXPECT_EQ(Edit(&b, "edit_Ampereh")->text(), "33");
    seams.fileAnswers = {""};  // Cancel
    b.OnLoad();
    EXPECT_EQ(b.values().ampereh, 33);
    EXPECT_TRUE(seams.boxes.empty());
}

TEST_F(PresetDialog, SaveWritesEvenWhenAFieldDoesNotRead) {
    CRuvSet d(UpsSetup{}, true);
    Edit(&d, "edit_Ampereh")->setText("40");
    Edit(&d, "edit_delay5")->setText("soon");
    d.SavePreset(Path("p.txt"));
    ASSERT_EQ(seams.texts(), QStringList{"Immettere un valore integer."});
    QFile f(Path("p.txt"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray saved = f.readAll();
    EXPECT_TRUE(saved.startsWith("Ampereh=40\r\n"));
    EXPECT_TRUE(saved.contains("\r\ndelay5=0\r\n"));
}

TEST_F(PresetDialog, FileErrorsShowTheSystemText) {
    CRuvSet d(UpsSetup{}, true);
    d.OnDefault();  // no preset1.txt here
    ASSERT_EQ(seams.boxes.size(), 1u);
    EXPECT_EQ(seams.boxes[0].caption, "Error loading set");
    EXPECT_EQ(seams.boxes[0].text, "No such file or directory");
    EXPECT_EQ(seams.boxes[0].icon, BoxIcon::Stop);

    d.SavePreset(Path("missing-dir/p.txt"));
    ASSERT_EQ(seams.boxes.size(), 2u);
    EXPECT_EQ(seams.boxes[1].caption, "Error saving set");
    EXPECT_FALSE(seams.boxes[1].text.isEmpty());
}

TEST_F(PresetDialog, OnlyRegularFilesLoadAndAPipeNeverBlocks) {
    const QByteArray fifo = Path("pipe.txt").toLocal8Bit();
    ASSERT_EQ(mkfifo(fifo.constData(), 0600), 0);
    // A loader stuck in open() on the pipe is found by a writer that can open it without
    // waiting; the writer then lets it go, so a faulty loader fails here instead of hanging.
    std::atomic<bool> done{false}, blocked{false};
    std::thread writer([&] {
        while (!done.load()) {
            const int fd = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                blocked = true;
                ::close(fd);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    CRuvSet d(UpsSetup{}, true);
    Edit(&d, "edit_Ampereh")->setText("12");
    d.LoadPreset(Path("pipe.txt"));
    done = true;
    writer.join();
    EXPECT_FALSE(blocked.load());
    ASSERT_TRUE(QDir(dir.path()).mkdir("folder.txt"));
    d.LoadPreset(Path("folder.txt"));
    ASSERT_EQ(seams.boxes.size(), 2u);
    for (const ShownBox& b : seams.boxes) {
        EXPECT_EQ(b.caption, "Error loading set");
        EXPECT_TRUE(b.text.contains("not a regular file")) << b.text.toStdString();
    }
    EXPECT_EQ(Edit(&d, "edit_Ampereh")->text(), "12");
}

TEST_F(PresetDialog, DefaultLoadsPreset1FromTheWorkingDirectory) {
    WriteFile("preset1.txt", FormatPreset(Sample()));
    CRuvSet d(UpsSetup{}, true);
    d.OnDefault();
    EXPECT_TRUE(seams.boxes.empty());
    SetupValues expect = Sample();
    expect.ibattTh1 = 13.6;  // one decimal in the file
    EXPECT_EQ(d.values(), expect);
    EXPECT_EQ(Edit(&d, "edit_f_stop")->text(), "45.00");
    // "normal" relay mode came with it: the relay fields are disabled now.
    EXPECT_FALSE(Edit(&d, "edit_delay5")->isEnabled());
}

TEST_F(PresetDialog, OnlyTheFirst2000BytesAreRead) {
    QByteArray text = FormatPreset(Sample());
    const int keep = text.indexOf("pow3=");  // cut inside the pow3 line
    QByteArray padded = text.left(keep) + "pow3=3" ;
    padded = QByteArray(2000 - padded.size(), '\n') + padded + "999\r\n" + text.mid(keep + 9);
    WriteFile("big.txt", padded);
    CRuvSet d(UpsSetup{}, true);
    d.LoadPreset(Path("big.txt"));
    EXPECT_EQ(seams.texts(), QStringList{"Argomento non corretto."});
}

TEST_F(PresetDialog, ShortOrBinaryFilesChangeNothing) {
    auto lines = Lines(FormatPreset(Sample()));
    lines.removeLast();
    lines.removeLast();
    WriteFile("short.txt", Join(lines));
    QByteArray binary;
    for (int i = 0; i < 3000; ++i) binary += char((i * 37) & 0xff);
    WriteFile("binary.bin", binary);
    WriteFile("empty.txt", "");

    UpsSetup s{};
    s.sizeCode = 1;
    s.numBatt = 3;
    CRuvSet d(s, true);
    Edit(&d, "edit_Ampereh")->setText("77");  // typed, not yet read
    const SetupValues before = d.values();
    for (const char* name : {"short.txt", "binary.bin", "empty.txt"}) {
        seams.boxes.clear();
        d.LoadPreset(Path(name));
        EXPECT_EQ(seams.texts(), QStringList{"Argomento non corretto."}) << name;
        EXPECT_EQ(Edit(&d, "edit_Ampereh")->text(), "77") << name;
        EXPECT_EQ(d.values().numBatt, before.numBatt) << name;
        EXPECT_EQ(d.values().pow[3], before.pow[3]) << name;
    }
}

TEST_F(PresetDialog, PartialMatchKeepsWhatTheUserTyped) {
    auto lines = Lines(FormatPreset(Sample()));
    lines[0] = "ampereh=1";  // does not match
    WriteFile("p.txt", Join(lines));
    CRuvSet d(UpsSetup{}, true);
    Edit(&d, "edit_Ampereh")->setText("66");
    d.LoadPreset(Path("p.txt"));
    EXPECT_TRUE(seams.boxes.empty());
    EXPECT_EQ(d.values().ampereh, 66);
    EXPECT_EQ(Edit(&d, "edit_Ampereh")->text(), "66");
    EXPECT_EQ(d.values().pow[7], 7000);
}

}  // namespace
