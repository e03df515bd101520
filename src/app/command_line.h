#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace korvane {

// What the command line gets without a window: --help and --version, answered before
// anything needs a display.
struct CommandLineAnswer {
    int exitCode = 0;
    QString text;         // ends with a line break
    bool toStdout = true; // false: an error, for stderr
};

// `arguments` without the program's name. Nothing when the window is to start: there
// are no arguments. -h and --help print the usage, --version the version; anything
// else is refused (exit code 2), as the program takes no other options.
std::optional<CommandLineAnswer> answerCommandLine(const QStringList& arguments);

} // namespace korvane
