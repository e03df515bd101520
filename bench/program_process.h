#pragma once

#include "sim/paced_line.h"

#include <QString>

#include <map>
#include <optional>

namespace korvane::bench {

// Figures of the program as a process of its own (korvane-bench-program), measured from
// outside: how long it takes to start, what it costs while it waits for the operator.
class ProgramProcess {
public:
    // `program`: the korvane-bench-program executable; `folder`: its program folder.
    ProgramProcess(QString program, QString folder);

    // From the spawn to the ready state's "A 00" at a virtual module on port 1, reached
    // over a link paced as given.
    std::optional<double> startUpWithModuleMs(sim::LinePacing pacing = {}) const;
    // From the spawn to the "No Controller  detected" message, after a scan of 16 ports
    // that are absent (silentPorts 0) or that exist but never answer.
    std::optional<double> startUpWithoutModuleMs(int silentPorts) const;

    struct Idle {
        double cpuPercent = 0; // of one core
        double seconds = 0;
        qint64 residentKb = 0;
        qint64 peakResidentKb = 0;
        int threads = 0;
        std::map<QString, double> wakeupsPerSecond; // by thread name, e.g. "threaded-ml"
    };
    // In the ready state with a module on port 1: CPU over `seconds`, after a settling pause.
    std::optional<Idle> idleInReadyState(int seconds) const;

private:
    QString program_;
    QString folder_;
};

} // namespace korvane::bench
