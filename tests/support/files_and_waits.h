// Small helpers every end-to-end suite needs: waiting on a condition, reading and writing files.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <functional>

namespace testsupport {

// True once done() holds; false when limitMs pass first. Delivers posted events while it waits,
// so objects living on the waiting thread keep working.
bool WaitFor(const std::function<bool()>& done, int limitMs);

// The whole file as UTF-8 text; empty when it cannot be read.
QString ReadAll(const QString& path);

// Replaces the file with text, readable and writable by its owner only (by default). A file
// that cannot be written fails the running test.
void WriteFile(const QString& path, const QByteArray& text,
               QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner);

}  // namespace testsupport
