// What vespero says and where it keeps its files, whoever starts it.
#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "app/command_line.h"
#include "app/data_log.h"

namespace {

TEST(CommandLine, WrapsBetweenWordsOnly) {
    EXPECT_EQ(WrapWords("one two three four", 9), "one two\nthree\nfour");
    EXPECT_EQ(WrapWords("first line\nsecond", 79), "first line\nsecond");
    EXPECT_EQ(WrapWords("a verylongwordindeed b", 5), "a\nverylongwordindeed\nb");
    EXPECT_EQ(WrapWords("  spaced   out  ", 79), "spaced out");
}

// From the desktop's menu the data log goes to a folder of the user's own, made on demand.
TEST(DesktopStart, DataLogFolderIsTheUsersDataFolder) {
    QTemporaryDir dir;
    const QByteArray old = qgetenv("XDG_DATA_HOME");
    const QString oldCwd = QDir::currentPath();
    qputenv("XDG_DATA_HOME", dir.filePath("data").toLocal8Bit());
    EXPECT_EQ(DesktopDataFolder(), dir.filePath("data/Tralvane"));
    EXPECT_EQ(EnterDesktopDataFolder(), QString());
    EXPECT_EQ(QDir::currentPath(), QDir(dir.filePath("data/Tralvane")).canonicalPath());
    qputenv("XDG_DATA_HOME", "relative");
    EXPECT_EQ(DesktopDataFolder(), QDir::homePath() + "/.local/share/Tralvane");
    // A folder that cannot be made is said, and the working directory stays.
    QDir::setCurrent(oldCwd);
    qputenv("XDG_DATA_HOME", "/proc/no-such-place");
    EXPECT_NE(EnterDesktopDataFolder(), QString());
    EXPECT_EQ(QDir::currentPath(), oldCwd);
    if (old.isEmpty()) qunsetenv("XDG_DATA_HOME"); else qputenv("XDG_DATA_HOME", old);
}

}  // namespace
