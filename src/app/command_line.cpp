#include "app/command_line.h"

namespace korvane {

namespace {

QString versionLine() {
    return QStringLiteral("korvane %1.%2.%3\n")
        .arg(KORVANE_VERSION_MAJOR)
        .arg(KORVANE_VERSION_MINOR)
        .arg(KORVANE_VERSION_PATCH);
}

const char* const Usage =
    "Usage: korvane [--help | --version]\n"
    "\n"
    "Runs the start of a BMX race: the start gate and the start lights\n"
    "through a 24-line digital I/O module on a serial port, the spoken\n"
    "cadence and the start tones. Without options it opens its window.\n"
    "\n"
    "  -h, --help     show this help and exit\n"
    "      --version  show the version and exit\n"
    "\n"
    "config.dat, more-settings.ini, passwords.dat and starts.csv are kept in\n"
    "the folder that holds the program; the voice files are looked up in the\n"
    "folder it runs in. Installed as a package, the korvane command runs it\n"
    "in ~/.local/share/korvane for each user. See korvane(1).\n";

} // namespace

std::optional<CommandLineAnswer> answerCommandLine(const QStringList& arguments) {
    if (arguments.isEmpty())
        return std::nullopt;
    if (arguments == QStringList{QStringLiteral("--help")} ||
        arguments == QStringList{QStringLiteral("-h")})
        return CommandLineAnswer{0, QString::fromLatin1(Usage), true};
    if (arguments == QStringList{QStringLiteral("--version")})
        return CommandLineAnswer{0, versionLine(), true};
    return CommandLineAnswer{2,
                             QStringLiteral("korvane: unknown option or extra argument: %1\n"
                                            "Try 'korvane --help'.\n")
                                 .arg(arguments.join(QLatin1Char(' '))),
                             false};
}

} // namespace korvane
