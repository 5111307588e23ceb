#include "app/command_line.h"

#include <QCommandLineParser>
#include <QCoreApplication>

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

int AnswerInfoOptions(int argc, char** argv) {
    if (!AsksForInfo(argc, argv)) return -1;

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(VESPERO_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Vespero Monitor: shows the first configured UPS unit live, keeps the data log log.txt in\n"
        "the working directory and, behind access codes, offers the service dialogs.\n"
        "Link settings: $XDG_CONFIG_HOME/Tralvane/Ups.ini (default ~/.config). One monitor runs\n"
        "per user: a second start brings the running one's window forward and ends. The standard Qt\n"
        "options (-platform, -style, ...) are accepted as in every Qt program."));
    // Qt's own options such as -reverse must not read as clusters of short options here.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(QCommandLineOption(
        QStringLiteral("port-chooser"),
        QStringLiteral("Choose the unit's serial port before the link starts: mends settings that name a\n"
                       "port that no longer opens (the program otherwise shows the reason under\n"
                       "\"GetLastError\" and ends). OK saves a port that opens; Cancel changes nothing.\n"
                       "While a monitor of the same user runs, this only brings its window forward and\n"
                       "ends with status 1: close it first.")));
    // Qt options are not ours to reject: with any of them present, answer without the check.
    if (parser.parse(app.arguments())) parser.process(app);
    if (parser.isSet(QStringLiteral("version"))) parser.showVersion();
    parser.showHelp(0);
}
