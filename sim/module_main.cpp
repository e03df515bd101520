// Serves a virtual I/O module on a pseudo-terminal reached through a link of your
// choice (for example /dev/ttyUSB0, where the program's port scan finds it) and prints
// every command it receives, until interrupted.
//   korvane-virtual-module [--line-rate] [--latency ms] [link-path]
// --line-rate paces both directions at 9600 baud; --latency holds replies back as a USB
// adapter's latency timer does (1 and 16 ms are usual settings).
#include "sim/virtual_module.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>

using korvane::sim::VirtualModule;

namespace {
void quit(int) {
    QCoreApplication::quit();
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("A virtual Korvane I/O module"));
    parser.addHelpOption();
    const QCommandLineOption lineRate(QStringLiteral("line-rate"),
                                      QStringLiteral("Pace commands and replies at 9600 baud."));
    const QCommandLineOption latency(QStringLiteral("latency"),
                                     QStringLiteral("Hold replies back by a USB adapter's latency "
                                                    "timer of this many ms."),
                                     QStringLiteral("ms"), QStringLiteral("0"));
    parser.addOptions({lineRate, latency});
    parser.addPositionalArgument(QStringLiteral("link-path"),
                                 QStringLiteral("Where to link the pty (default /dev/ttyUSB0)."));
    parser.process(app);
    bool latencyValid = false;
    const int latencyMs = parser.value(latency).toInt(&latencyValid);
    if (!latencyValid || latencyMs < 0) {
        std::fprintf(stderr, "--latency takes a number of milliseconds\n");
        return 2;
    }

    const QStringList args = parser.positionalArguments();
    VirtualModule module(args.isEmpty() ? QStringLiteral("/dev/ttyUSB0") : args.first());
    module.setPacing({parser.isSet(lineRate), latencyMs});
    const qint64 startNs = korvane::sim::monotonicNs();
    module.setOnCommand([startNs](const VirtualModule::Command& command) {
        std::printf("%10.3f ms  %s\n", (command.atNs - startNs) / 1e6,
                    qPrintable(korvane::sim::describe(command.bytes)));
        std::fflush(stdout);
    });
    if (!module.start()) {
        std::fprintf(stderr, "cannot start the virtual module\n");
        return 1;
    }
    QString serving = QStringLiteral("virtual I/O module on ") + module.devicePath();
    if (parser.isSet(lineRate))
        serving += QStringLiteral(", paced at 9600 baud");
    if (latencyMs > 0)
        serving += QStringLiteral(", replies held back %1 ms by the adapter").arg(latencyMs);
    std::printf("%s\n", qPrintable(serving));
    std::fflush(stdout);
    std::signal(SIGINT, quit);
    std::signal(SIGTERM, quit);
    return app.exec();
}
