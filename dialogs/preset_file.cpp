#include "dialogs/preset_file.h"

#include <QFile>
#include <QFileInfo>
#include <array>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "dialogs/dialog_fields.h"

namespace {

enum class Kind { Int, Text, Index, Double };

struct Entry {
    const char* key;
    Kind kind;
    void* field;
    const ChoiceList* list;  // Index entries only
};

std::array<Entry, 37> Entries(SetupValues& v) {
    std::array<Entry, 37> e{{
        {"Ampereh", Kind::Int, &v.ampereh, nullptr},
        {"Vcycle", Kind::Text, &v.vcycle, nullptr},
        {"Vstandby", Kind::Text, &v.vstandby, nullptr},
        {"NumBatt", Kind::Index, &v.numBatt, &kNumBattChoices},
        {"num_board", Kind::Index, &v.numBoard, &kSizeChoices},
        {"enable", Kind::Index, &v.enable, &kFunctionChoices},
        {"input_mode", Kind::Index, &v.inputMode, &kInputChoices},
        {"VbattTH1", Kind::Double, &v.vbattTh1, nullptr},
        {"IbattTH1", Kind::Double, &v.ibattTh1, nullptr},
        {"IbattTH2", Kind::Double, &v.ibattTh2, nullptr},
        {"pwm_lin_max", Kind::Double, &v.pwmLinMax, nullptr},
        {"pwm_lin_min", Kind::Double, &v.pwmLinMin, nullptr},
        {"delay3", Kind::Double, &v.delay3, nullptr},
        {"rl1", Kind::Index, &v.rl1, &kRl1Choices},
        {"rl2", Kind::Index, &v.rl2, &kRl2Choices},
        {"rele_mod", Kind::Index, &v.releMod, &kRelayModeChoices},
        {"delay5", Kind::Int, &v.delay5, nullptr},
        {"f_start", Kind::Text, &v.fStart, nullptr},
        {"f_stop", Kind::Text, &v.fStop, nullptr},
    }};
    static const char* const pfreqKeys[8] = {"pfreq0", "pfreq1", "pfreq2", "pfreq3",
                                             "pfreq4", "pfreq5", "pfreq6", "pfreq7"};
    static const char* const powKeys[8] = {"pow0", "pow1", "pow2", "pow3",
                                           "pow4", "pow5", "pow6", "pow7"};
    for (int k = 0; k < 8; ++k) {
        e[19 + 2 * k] = {pfreqKeys[k], Kind::Double, &v.pfreq[k], nullptr};
        e[20 + 2 * k] = {powKeys[k], Kind::Int, &v.pow[k], nullptr};
    }
    e[35] = {"fattore", Kind::Double, &v.fattore, nullptr};
    e[36] = {"slope", Kind::Int, &v.slope, nullptr};
    return e;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n'; }

void MatchLine(const char* line, size_t length, const Entry& entry) {
    const size_t keyLength = std::strlen(entry.key);
    if (length < keyLength + 1 || std::memcmp(line, entry.key, keyLength) != 0 || line[keyLength] != '=')
        return;
    const char* value = line + keyLength + 1;
    const size_t rest = length - keyLength - 1;
    switch (entry.kind) {
    case Kind::Int:
        if (auto n = ScanInt32(value, rest)) *static_cast<int32_t*>(entry.field) = *n;
        break;
    case Kind::Index:
        if (auto n = ScanInt32(value, rest)) *static_cast<int32_t*>(entry.field) = ClampChoice(*entry.list, *n);
        break;
    case Kind::Double:
        if (auto x = ScanDouble(value, rest)) *static_cast<double*>(entry.field) = *x;
        break;
    case Kind::Text: {
        size_t i = 0;
        while (i < rest && IsBlank(value[i])) ++i;
        size_t end = i;
        while (end < rest && !IsBlank(value[end])) ++end;
        if (end > i) *static_cast<QString*>(entry.field) = QString::fromLatin1(value + i, qsizetype(end - i));
        break;
    }
    }
}

}  // namespace

QByteArray FormatPreset(const SetupValues& values) {
    SetupValues v = values;
    QByteArray out;
    for (const Entry& e : Entries(v)) {
        out += e.key;
        out += '=';
        switch (e.kind) {
        case Kind::Int:
        case Kind::Index: out += QByteArray::number(*static_cast<int32_t*>(e.field)); break;
        case Kind::Double: out += QString::asprintf("%.1f", *static_cast<double*>(e.field)).toLatin1(); break;
        case Kind::Text: {
            // A line end inside a text would shift every later line against its entry.
            QByteArray text = static_cast<QString*>(e.field)->toLatin1();
            text.replace('\r', ' ').replace('\n', ' ');
            out += text;
            break;
        }
        }
        out += "\r\n";
    }
    return out;
}

PresetParse ParsePreset(const char* bytes, size_t length, SetupValues& values) {
    const auto entries = Entries(values);
    size_t pos = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        while (pos < length && (bytes[pos] == '\r' || bytes[pos] == '\n')) ++pos;
        if (pos == length) {
            // The entry after the last line meets an empty line and keeps its value; one more
            // entry beyond that means the file is too short.
            if (i + 1 < entries.size()) return PresetParse::TooFewLines;
            return PresetParse::Complete;
        }
        size_t end = pos;
        while (end < length && bytes[end] != '\r' && bytes[end] != '\n') ++end;
        MatchLine(bytes + pos, end - pos, entries[i]);
        pos = end;
    }
    return PresetParse::Complete;
}

bool ReadPresetFile(const QString& path, QByteArray* bytes, QString* error) {
    // A pipe or a device would hold the window in open() or read() until someone else acts, and
    // a directory holds no preset: only regular files are read.
    const QString notRegular = QStringLiteral("\"%1\" is not a regular file.").arg(path);
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        *error = notRegular;
        return false;
    }
#ifdef Q_OS_UNIX
    // Checked again on what was really opened, without waiting: the path may have changed since.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *error = notRegular;
        return false;
    }
    QByteArray data(kPresetReadLimit, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < kPresetReadLimit) {
        const ssize_t n = ::read(fd, data.data() + got, size_t(kPresetReadLimit - got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = QString::fromLocal8Bit(std::strerror(errno));
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        got += n;
    }
    ::close(fd);
    data.resize(got);
    *bytes = data;
#else
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    *bytes = file.read(kPresetReadLimit);
    if (file.error() != QFileDevice::NoError) {
        *error = file.errorString();
        return false;
    }
#endif
    return true;
}

struct PresetWriter::Impl {
    QFile file;
};

bool PresetWriter::Create(const QString& path, QString* error) {
    file_ = std::make_shared<Impl>();
    file_->file.setFileName(path);
    if (!file_->file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = file_->file.errorString();
        file_.reset();
        return false;
    }
    return true;
}

bool PresetWriter::Write(const SetupValues& values, QString* error) {
    if (!file_) return false;
    const QByteArray text = FormatPreset(values);
    const bool ok = file_->file.write(text) == text.size() && file_->file.flush();
    if (!ok) *error = file_->file.errorString();
    file_->file.close();
    file_.reset();
    return ok;
}
