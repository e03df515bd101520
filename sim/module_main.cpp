// Serves a virtual I/O module on a pseudo-terminal reached through a link of your
// choice (for example /dev/ttyUSB0, where the program's port scan finds it) and prints
// every command it receives, until interrupted.
//   korvane-virtual-module [link-path]
#include "virtual_module.h"

#include <QCoreApplication>
#include <QTextStream>

#include <csignal>
#include <cstdio>

using korvane::sim::VirtualModule;

namespace {
void Quit(int) {
    QCoreApplication::quit();
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    VirtualModule module(args.size() > 1 ? args.at(1) : QStringLiteral("/dev/ttyUSB0"));
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
    std::printf("virtual I/O module on %s\n", qPrintable(module.devicePath()));
    std::fflush(stdout);
    std::signal(SIGINT, Quit);
    std::signal(SIGTERM, Quit);
    return app.exec();
}
