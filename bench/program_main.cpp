// korvane-bench-program: the program exactly as src/app/main.cpp builds it, on ports the
// benchmark gives it instead of the machine's, so that its start-up, idle CPU and memory
// can be measured from outside as a process of its own.
//
//   korvane-bench-program <program folder> [port 1 path] [port 2 path] ...
//
// An empty path is an absent port. Prints "ready <ns>" when the load handler has returned
// and "message <ns> <text>" for each message box (which is not shown), with
// CLOCK_MONOTONIC stamps in nanoseconds.
#include "app/frmUSB_Main.h"
#include "app/message_box.h"
#include "sequence/clocks.h"

#include <QApplication>

#include <cstdio>

using korvane::monotonicNs;

namespace {

void report(const QString& line) {
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Korvane"));
    QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.isEmpty())
        return 2;
    const QString programFolder = arguments.takeFirst();

    korvane::setMessageHandler([](const korvane::Message& message) {
        report(QStringLiteral("message %1 %2").arg(monotonicNs()).arg(message.text));
    });
    korvane::frmUSB_Main window(korvane::PortCatalog::fromNames(arguments),
                                korvane::createSystemSoundPlayer(), programFolder);
    window.show();
    window.Form_Load();
    report(QStringLiteral("ready %1").arg(monotonicNs()));
    return app.exec();
}
