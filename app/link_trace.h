// Where the link's trace lines go (the lines it prints on standard output as it polls: "Seriale 1",
// "Parametri impostati ...", "Error 6e ActiveCommand ..."). On a terminal they stay there. Anywhere
// else, standard output is a desktop session's journal, and at one or more lines a poll they
// would fill it (about 19 MiB a day): they go to a file in the user's state folder instead,
// started afresh past a size limit with one older file kept beside it.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>
#include <thread>

// A file that never grows past its limit: a write that would pass it first moves the file to
// "<path>.1" (replacing the older one) and starts it anew. Writes end at line ends, so no line is
// cut in two by the move.
class CappedTraceFile {
public:
    CappedTraceFile(QString path, int64_t limitBytes);
    ~CappedTraceFile();
    CappedTraceFile(const CappedTraceFile&) = delete;
    CappedTraceFile& operator=(const CappedTraceFile&) = delete;

    bool Write(const char* data, size_t size);
    const QString& path() const { return path_; }

private:
    bool Open();
    QString path_;
    int64_t limit_;
    int fd_ = -1;
    int64_t size_ = 0;
};

class LinkTrace {
public:
    static constexpr int64_t kLimitBytes = 10 * 1024 * 1024;

    // $XDG_STATE_HOME/Tralvane/vespero-trace.log (default ~/.local/state).
    static QString DefaultPath();

    // Leaves standard output alone when it is a terminal; otherwise sends it to path.
    explicit LinkTrace(const QString& path = DefaultPath(), int64_t limitBytes = kLimitBytes);
    // Writes out what is still buffered, then gives standard output back to /dev/null.
    ~LinkTrace();
    LinkTrace(const LinkTrace&) = delete;
    LinkTrace& operator=(const LinkTrace&) = delete;

    bool toFile() const { return file_ != nullptr; }

private:
    std::unique_ptr<CappedTraceFile> file_;
    int pipeRead_ = -1;
    std::thread reader_;
};
