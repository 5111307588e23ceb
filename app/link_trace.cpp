#include "app/link_trace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

CappedTraceFile::CappedTraceFile(QString path, int64_t limitBytes) : path_(std::move(path)), limit_(limitBytes) {}

CappedTraceFile::~CappedTraceFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool CappedTraceFile::Open() {
    const QByteArray name = QFile::encodeName(path_);
    fd_ = ::open(name.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd_ < 0) return false;
    struct stat st {};
    size_ = ::fstat(fd_, &st) == 0 ? int64_t(st.st_size) : 0;
    return true;
}

bool CappedTraceFile::Write(const char* data, size_t size) {
    if (fd_ < 0 && !Open()) return false;
    if (size_ > 0 && size_ + int64_t(size) > limit_) {
        ::close(fd_);
        fd_ = -1;
        const QString older = path_ + QStringLiteral(".1");
        QFile::remove(older);
        QFile::rename(path_, older);
        if (!Open()) return false;
    }
    while (size > 0) {
        const ssize_t n = ::write(fd_, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= size_t(n);
        size_ += n;
    }
    return true;
}

QString LinkTrace::DefaultPath() {
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (!QDir::isAbsolutePath(base)) base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/Tralvane/vespero-trace.log");
}

LinkTrace::LinkTrace(const QString& path, int64_t limitBytes) {
    if (::isatty(STDOUT_FILENO)) return;
    QDir().mkpath(QFileInfo(path).absolutePath());
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return;
    std::fflush(stdout);
    if (::dup2(ends[1], STDOUT_FILENO) < 0) {
        ::close(ends[0]);
        ::close(ends[1]);
        return;
    }
    ::close(ends[1]);
    // Whole lines reach the file as they are printed, not a block at a time.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    pipeRead_ = ends[0];
    file_ = std::make_unique<CappedTraceFile>(path, limitBytes);
    reader_ = std::thread([this] {
        // Collects whole lines, so the file is only ever moved aside between two of them.
        QByteArray pending;
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::read(pipeRead_, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            pending.append(chunk, n);
            const qsizetype end = pending.lastIndexOf('\n');
            if (end < 0 && pending.size() < 65536) continue;
            const qsizetype take = end < 0 ? pending.size() : end + 1;
            file_->Write(pending.constData(), size_t(take));
            pending.remove(0, take);
        }
        if (!pending.isEmpty()) file_->Write(pending.constData(), size_t(pending.size()));
    });
}

LinkTrace::~LinkTrace() {
    if (!file_) return;
    std::fflush(stdout);
    // The pipe's only writer goes: the reader sees its end once it has taken in everything.
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    reader_.join();
    ::close(pipeRead_);
}
