#include "tests/support/child_process.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <vector>

extern char** environ;

namespace testsupport {

namespace {

template <typename Done>
bool WaitUntil(Done done, int limitMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        if (QCoreApplication::instance()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
    return true;
}

}  // namespace

pid_t Spawn(const QString& program, const QStringList& args, const QString& stderrPath, const QString& stdoutPath) {
    std::vector<QByteArray> storage;
    storage.push_back(program.toLocal8Bit());
    for (const QString& a : args) storage.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& b : storage) argv.push_back(b.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const QByteArray errPath = stderrPath.toLocal8Bit();
    if (!stderrPath.isEmpty())
        posix_spawn_file_actions_addopen(&actions, 2, errPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const QByteArray outPath = stdoutPath.toLocal8Bit();
    if (!stdoutPath.isEmpty())
        posix_spawn_file_actions_addopen(&actions, 1, outPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int WaitExit(pid_t pid, int limitMs) {
    int result = -1;
    WaitUntil([&] {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) != pid) return false;
        result = WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        return true;
    }, limitMs);
    return result;
}

void Terminate(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    if (WaitExit(pid, 3000) == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

SimProcess::SimProcess(const QString& program, int com, const QString& workDir, QStringList extra) {
    const QString readyFile = workDir + QStringLiteral("/sim%1.ready").arg(com);
    QFile::remove(readyFile);
    extra << QStringLiteral("--com") << QString::number(com) << QStringLiteral("--ready-file") << readyFile;
    pid_ = Spawn(program, extra);
    if (pid_ <= 0) return;
    ready_ = WaitUntil([&] {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {  // died before publishing its port
            pid_ = -1;
            return true;
        }
        return QFile(readyFile).size() > 0;
    }, 10000) && pid_ > 0;
}

SimProcess::~SimProcess() { Terminate(pid_); }

}  // namespace testsupport
