#pragma once

#include <QString>

#include <utility>

namespace korvane::bench {

// The machine a benchmark runs on, as its report describes it.
QString cpuModel();
QString loadAverage(); // the three figures of /proc/loadavg
// Kernel, Qt, its event dispatcher and platform plugin (after the application exists).
QString systemDescription();

// What the machine did while a phase ran: load average at its end and the share of CPU
// time the hypervisor stole.
class MachineDuring {
public:
    MachineDuring();
    QString describe() const;

private:
    std::pair<qint64, qint64> begin_; // CPU ticks {all, stolen}
};

} // namespace korvane::bench
