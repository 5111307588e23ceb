// The trace file's size limit: moved aside whole lines at a time, never past the limit.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "app/link_trace.h"

namespace {

QByteArray Contents(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

TEST(LinkTraceFile, StartsAfreshPastItsLimitKeepingOneOlderFileOfWholeLines) {
    QTemporaryDir dir;
    const QString path = dir.filePath("trace.log");
    QByteArray all;
    {
        CappedTraceFile file(path, 100);
        for (int i = 0; i < 40; ++i) {
            const QByteArray line = QByteArray("Error 6e ActiveCommand ") + QByteArray::number(i) + '\n';
            ASSERT_TRUE(file.Write(line.constData(), size_t(line.size())));
            all += line;
        }
    }
    const QByteArray now = Contents(path), older = Contents(path + ".1");
    EXPECT_LE(now.size(), 100);
    EXPECT_LE(older.size(), 100);
    EXPECT_GT(older.size(), 100 - 27);  // moved aside only when the next line would not fit
    EXPECT_TRUE(now.endsWith("ActiveCommand 39\n"));
    // The two files are the newest lines, in order, none cut.
    EXPECT_TRUE(all.endsWith(older + now));
    EXPECT_TRUE(older.startsWith("Error ") && now.startsWith("Error "));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 2);
    EXPECT_EQ(QFile::permissions(path) & (QFile::ReadOther | QFile::ReadGroup), QFile::Permissions());

    // A new run goes on from the file's present size.
    {
        CappedTraceFile file(path, 100);
        const QByteArray line(90, 'x');
        ASSERT_TRUE(file.Write(line.constData(), size_t(line.size())));
    }
    EXPECT_EQ(Contents(path), QByteArray(90, 'x'));
    EXPECT_EQ(Contents(path + ".1"), now);
}

TEST(LinkTraceFile, AnUnwritableFolderFailsTheWriteQuietly) {
    CappedTraceFile file(QStringLiteral("/nonexistent/folder/trace.log"), 100);
    EXPECT_FALSE(file.Write("Seriale 1\n", 10));
}

TEST(LinkTraceFile, DefaultsToTheUsersStateFolder) {
    const QByteArray old = qgetenv("XDG_STATE_HOME");
    qputenv("XDG_STATE_HOME", "/tmp/state-here");
    EXPECT_EQ(LinkTrace::DefaultPath(), "/tmp/state-here/Tralvane/vespero-trace.log");
    qputenv("XDG_STATE_HOME", "relative/ignored");
    EXPECT_EQ(LinkTrace::DefaultPath(), QDir::homePath() + "/.local/state/Tralvane/vespero-trace.log");
    if (old.isEmpty()) qunsetenv("XDG_STATE_HOME"); else qputenv("XDG_STATE_HOME", old);
}

}  // namespace
