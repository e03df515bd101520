#include "app/command_line.h"
#include "app/frmUSB_Main.h"
#include "app/log_file.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char* argv[]) {
    // Before QApplication: --help and --version need no display.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (const auto answer = korvane::answerCommandLine(arguments)) {
        std::fputs(answer->text.toLocal8Bit().constData(), answer->toStdout ? stdout : stderr);
        return answer->exitCode;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Korvane"));
    const QString programFolder = QCoreApplication::applicationDirPath();
    // Beside config.dat: what the link and the starts did, for whoever looks into a fault.
    const korvane::LogFile log(programFolder);
    korvane::frmUSB_Main window(korvane::PortCatalog::system(), korvane::createSystemSoundPlayer(),
                                programFolder);
    window.show();
    window.Form_Load();
    return app.exec();
}
