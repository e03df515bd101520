#include "bench/bench.h"

#include <QAbstractEventDispatcher>
#include <QDir>
#include <QGuiApplication>
#include <QSysInfo>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace korvane::bench {

namespace {

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// CPU time (ns) and context switches of each thread of a process, by thread name.
std::map<QString, std::pair<qint64, qint64>> threadUse(pid_t pid) {
    std::map<QString, std::pair<qint64, qint64>> use;
    const QDir tasks(u"/proc/%1/task"_s.arg(pid));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString folder = tasks.filePath(task) + u'/';
        auto& [cpuNs, switches] = use[QString::fromUtf8(contents(folder + u"comm"_s).trimmed())];
        cpuNs += contents(folder + u"schedstat"_s).split(' ')[0].toLongLong();
        for (const QByteArray& line : contents(folder + u"status"_s).split('\n')) {
            if (line.contains("ctxt_switches:"))
                switches += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
        }
    }
    return use;
}

} // namespace

void progress(const QString& text) {
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

QString cpuModel() {
    for (const QByteArray& line : contents(u"/proc/cpuinfo"_s).split('\n')) {
        if (line.startsWith("model name"))
            return QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
    }
    return u"unknown"_s;
}

QString loadAverage() {
    return QString::fromUtf8(contents(u"/proc/loadavg"_s)).section(u' ', 0, 2);
}

QString loadAtTheEnd() {
    return u"load average at the end "_s + loadAverage();
}

QString systemDescription() {
    return u"%1 %2, Qt %3 (event dispatcher %4), platform plugin `%5`"_s.arg(
        QSysInfo::kernelType(), QSysInfo::kernelVersion(), QString::fromLatin1(qVersion()),
        QString::fromLatin1(QAbstractEventDispatcher::instance()->metaObject()->className()),
        QGuiApplication::platformName());
}

BusyLoad::BusyLoad(bool on) {
    pid_ = on ? fork() : -1;
    if (pid_ == 0) {
        // Only the loop runs in the child: nothing else is safe after fork() in a process
        // with threads.
        volatile unsigned long spin = 0;
        for (;;)
            spin = spin + 1;
    }
}

BusyLoad::~BusyLoad() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::map<QString, ThreadRate> threadRates(pid_t pid, int seconds) {
    const auto before = threadUse(pid);
    const qint64 fromNs = sim::monotonicNs();
    QThread::sleep(seconds);
    const double wall = double(sim::monotonicNs() - fromNs) / 1e9;
    std::map<QString, ThreadRate> rates;
    for (const auto& [name, use] : threadUse(pid)) {
        const auto base = before.count(name) ? before.at(name) : std::pair<qint64, qint64>();
        rates[name] = {100.0 * double(use.first - base.first) / 1e9 / wall,
                       double(use.second - base.second) / wall};
    }
    return rates;
}

} // namespace korvane::bench
