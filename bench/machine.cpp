#include "bench/machine.h"

#include <QAbstractEventDispatcher>
#include <QFile>
#include <QGuiApplication>

#include <sys/utsname.h>

namespace korvane::bench {

namespace {

// CPU time of the whole machine from /proc/stat: {all, stolen by the hypervisor}, in ticks.
std::pair<qint64, qint64> cpuTicks() {
    QFile stat(QStringLiteral("/proc/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return {0, 0};
    const QList<QByteArray> fields = stat.readLine().simplified().split(' ');
    qint64 all = 0;
    for (int i = 1; i < fields.size() && i <= 8; ++i)
        all += fields[i].toLongLong();
    return {all, fields.size() > 8 ? fields[8].toLongLong() : 0};
}

} // namespace

QString cpuModel() {
    QFile info(QStringLiteral("/proc/cpuinfo"));
    if (info.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : info.readAll().split('\n')) {
            if (line.startsWith("model name"))
                return QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
        }
    }
    return QStringLiteral("unknown");
}

QString loadAverage() {
    QFile load(QStringLiteral("/proc/loadavg"));
    if (!load.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown");
    return QString::fromUtf8(load.readAll()).section(QLatin1Char(' '), 0, 2);
}

QString systemDescription() {
    utsname name{};
    uname(&name);
    const QString dispatcher =
        QString::fromLatin1(QAbstractEventDispatcher::instance()->metaObject()->className());
    return QStringLiteral("%1 %2, Qt %3 (event dispatcher %4), platform plugin `%5`")
        .arg(QString::fromUtf8(name.sysname), QString::fromUtf8(name.release),
             QString::fromLatin1(qVersion()), dispatcher, QGuiApplication::platformName());
}

MachineDuring::MachineDuring()
    : begin_(cpuTicks()) {}

QString MachineDuring::describe() const {
    const auto [all, stolen] = cpuTicks();
    const double share = all > begin_.first
                             ? 100.0 * double(stolen - begin_.second) / double(all - begin_.first)
                             : 0.0;
    return QStringLiteral("load average at the end %1, CPU time stolen by the hypervisor %2 %")
        .arg(loadAverage())
        .arg(share, 0, 'f', 1);
}

} // namespace korvane::bench
