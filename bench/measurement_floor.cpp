#include "bench/measurement_floor.h"

#include "sim/virtual_module.h"

#include <QSerialPort>
#include <QTemporaryDir>
#include <QThread>

#include <ctime>

namespace korvane::bench {

namespace {

using sim::monotonicNs;

} // namespace

std::vector<double> ptyDeliveryMs(int samples, int spacingMs) {
    QTemporaryDir dir;
    sim::VirtualModule module(dir.filePath(QStringLiteral("ttyUSB0")));
    if (!module.start())
        return {};
    QSerialPort port(module.devicePath());
    if (!port.open(QIODevice::ReadWrite))
        return {};
    std::vector<qint64> handedNs;
    for (int i = 0; i < samples; ++i) {
        port.write(QByteArray("H\x07", 2));
        port.flush();
        handedNs.push_back(monotonicNs());
        QThread::msleep(spacingMs);
    }
    module.waitForCommands(samples, 2000);
    const QList<sim::VirtualModule::Command> commands = module.commands();
    std::vector<double> delays;
    for (int i = 0; i < samples && i < commands.size(); ++i)
        delays.push_back(double(commands[i].atNs - handedNs[std::size_t(i)]) / 1e6);
    return delays;
}

std::vector<double> sleepOvershootMs(int samples, int sleepMs) {
    std::vector<double> overshoots;
    const timespec sleep{0, long(sleepMs) * 1'000'000};
    for (int i = 0; i < samples; ++i) {
        const qint64 before = monotonicNs();
        clock_nanosleep(CLOCK_MONOTONIC, 0, &sleep, nullptr);
        overshoots.push_back(double(monotonicNs() - before - qint64(sleepMs) * 1'000'000) / 1e6);
    }
    return overshoots;
}

} // namespace korvane::bench
