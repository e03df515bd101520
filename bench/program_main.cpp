// korvane-bench-program: the program exactly as src/app/main.cpp builds it, on ports the
// benchmark gives it instead of the machine's, so that its start-up, idle CPU and memory
// can be measured from outside as a process of its own.
//
//   korvane-bench-program <program folder> [port 1 path] [port 2 path] ...
//
// An empty path is an absent port. Message boxes are not shown: each is printed as
// "message <ns> <text>", stamped on CLOCK_MONOTONIC.
#include "app/frmUSB_Main.h"
#include "app/message_box.h"
#include "sequence/clocks.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Korvane"));
    QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.isEmpty())
        return 2;
    const QString programFolder = arguments.takeFirst();
    korvane::setMessageHandler([](const korvane::Message& message) {
        std::printf("message %lld %s\n", korvane::monotonicNs(), qPrintable(message.text));
        std::fflush(stdout);
    });
    korvane::frmUSB_Main window(korvane::PortCatalog::fromNames(arguments),
                                korvane::createSystemSoundPlayer(), programFolder);
    window.show();
    window.Form_Load();
    return app.exec();
}
