#include "app/command_line.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>

#include <cstring>

namespace {

bool AsksForInfo(int argc, char** argv) {
    static const char* const kInfoOptions[] = {"-h", "--help", "--help-all", "-v", "--version"};
    for (int i = 1; i < argc; ++i)
        for (const char* option : kInfoOptions)
            if (std::strcmp(argv[i], option) == 0) return true;
    return false;
}

}  // namespace

QString WrapWords(const QString& text, int width) {
    QStringList lines;
    for (const QString& paragraph : text.split(QLatin1Char('\n'))) {
        QString line;
        for (const QString& word : paragraph.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            if (!line.isEmpty() && line.size() + 1 + word.size() > width) {
                lines << line;
                line.clear();
            }
            line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
        }
        lines << line;
    }
    return lines.join(QLatin1Char('\n'));
}

int AnswerInfoOptions(int argc, char** argv) {
    if (!AsksForInfo(argc, argv)) return -1;

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(VESPERO_VERSION));
    QCommandLineParser parser;
    // Qt prints the description as it is given and wraps only the options' texts: a terminal
    // would otherwise cut its long lines wherever the width ends, inside words.
    parser.setApplicationDescription(WrapWords(QStringLiteral(
        "Vespero Monitor: shows the first configured UPS unit live, keeps the data log log.txt in "
        "the working directory and, behind access codes, offers the service dialogs. "
        "Link settings: $XDG_CONFIG_HOME/Tralvane/Ups.ini (default ~/.config). One monitor runs "
        "per user: a second start brings the running one's window forward and ends. The standard Qt "
        "options (-platform, -style, ...) are accepted as in every Qt program."), 79));
    // Qt's own options such as -reverse must not read as clusters of short options here.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(QCommandLineOption(
        QStringLiteral("port-chooser"),
        QStringLiteral("Choose the unit's serial port before the link starts: mends settings that name a "
                       "port that no longer opens (the program otherwise shows the reason under "
                       "\"GetLastError\" and ends). OK saves a port that opens; Cancel changes nothing. "
                       "While a monitor of the same user runs, this only brings its window forward and "
                       "ends with status 1: close it first.")));
    parser.addOption(QCommandLineOption(
        QStringLiteral("desktop"),
        QStringLiteral("Started from the desktop's menu: keep log.txt and valori.txt in "
                       "$XDG_DATA_HOME/Tralvane (default ~/.local/share/Tralvane) rather than in the "
                       "working directory.")));
    // Qt options are not ours to reject: with any of them present, answer without the check.
    if (parser.parse(app.arguments())) parser.process(app);
    if (parser.isSet(QStringLiteral("version"))) parser.showVersion();
    parser.showHelp(0);
}
