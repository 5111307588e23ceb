// Preset files: one set of the set-up dialog's values as 37 "key=value" lines ending in CR LF,
// in a fixed order. Lines are matched by position only; see ParsePreset.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <memory>

#include "dialogs/setup_values.h"

// Only this much of a file is read.
constexpr int kPresetReadLimit = 2000;

// The 37 lines as the writer puts them in a file.
QByteArray FormatPreset(const SetupValues& values);

enum class PresetParse {
    Complete,     // 36 lines or more were there
    TooFewLines,  // ran out of lines before the 36th entry: the load must be refused
};

// Splits bytes into lines at every run of CR/LF and matches line i against entry i: its key and
// "=" must open the line exactly, then the value is read (numbers after optional blanks, the
// rest of the line ignored; a text is the run of non-blanks). A line that does not match leaves
// its field alone. A list index outside its table reads as 0. Bytes beyond the read limit are
// the caller's to drop; everything here is bounded by length.
PresetParse ParsePreset(const char* bytes, size_t length, SetupValues& values);

// Reads at most kPresetReadLimit bytes of a regular file, never waiting on a pipe or a device.
// false, with the system's description of the error (or a note that the path is no regular
// file), when it cannot be opened or read.
bool ReadPresetFile(const QString& path, QByteArray* bytes, QString* error);

// Creates (or empties) the file, then writes the values' lines. Split in two so the dialog can
// read its controls between creating the file and writing it.
class PresetWriter {
public:
    bool Create(const QString& path, QString* error);
    bool Write(const SetupValues& values, QString* error);

private:
    QString path_;
    struct Impl;
    std::shared_ptr<Impl> file_;
};
