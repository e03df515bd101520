#pragma once

#include "bench/conditions.h"
#include "bench/program_process.h"
#include "bench/recorded_figures.h"
#include "bench/start_figures.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <map>
#include <optional>
#include <vector>

namespace korvane::bench {

// The starts of one condition.
struct ConditionResult {
    Condition condition;
    StartFigures figures;
    std::map<int, Deviations> intervalsBySpeed; // beep speed -> beep-to-beep interval errors
    QString machine;                            // what the machine did meanwhile
    int starts = 0;
    int readTimeouts = 0; // "Read Timeout" messages, counted instead of shown
    int staleReplies = 0; // reply bytes left after a start, drained before the next
};

// The program as a process of its own.
struct ProcessFigures {
    Deviations startUpModule, startUpPaced, startUpAbsent, startUpSilent;
    int startUpPacedLatencyMs = 16;
    std::optional<ProgramProcess::Idle> idleWithServer, idleWithoutServer;
};

// What the machine and the instrument add to every stamp, idle and (maybe) busy.
struct MeasurementFloor {
    Deviations deliveryIdle, deliveryBusy, sleepIdle, sleepBusy;
};

// Everything one run of korvane-bench measured, and how.
struct TimingResults {
    QDateTime began;
    qint64 seconds = 0; // of measuring
    QString revision;
    QString command; // what ran it
    QString cpu, system, loadAtStart;
    int cores = 0;
    bool audio = false;
    int startsPerSpeed = 0;
    QList<int> speeds;
    int readyEvery = 1; // the ready state came by its own timer in every n-th start; 0: never
    double watchLengthMs = 0;
    MeasurementFloor floor;
    ProcessFigures process;
    std::vector<ConditionResult> conditions;
    std::optional<RecordedFigures> previous; // of the report this one replaces
};

// The report in Markdown: docs/timing.md, or the quick run's.
QString timingReport(const TimingResults& results);

} // namespace korvane::bench
