// Child processes for the end-to-end suites. posix_spawn rather than QProcess: QProcess starts
// children in a way the thread sanitizer cannot follow, and it then reports races that are not
// there.
#pragma once

#include <QString>
#include <QStringList>

#include <sys/types.h>

namespace testsupport {

// stderrPath, stdoutPath: where the child's standard error and output go (empty: inherited).
// -1 when it cannot start.
pid_t Spawn(const QString& program, const QStringList& args, const QString& stderrPath = {},
            const QString& stdoutPath = {});
// Exit status (0-255) once the child has ended, -1 if it is still running after limitMs, -2 if
// it ended by a signal. Delivers posted events while it waits.
int WaitExit(pid_t pid, int limitMs);
void Terminate(pid_t pid);  // SIGTERM, then SIGKILL if it lingers; reaps it

// A vespero-sim for the length of a test: started on COM n, waited for until its port is
// published (its --ready-file), terminated on destruction.
class SimProcess {
public:
    SimProcess(const QString& program, int com, const QString& workDir, QStringList extra = {});
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool ready() const { return ready_; }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

}  // namespace testsupport
