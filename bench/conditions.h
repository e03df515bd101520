#pragma once

#include "sim/paced_line.h"

#include <QList>
#include <QString>

namespace korvane::bench {

// What a run of starts or races is measured under: the link to the virtual module and
// whether a process of the benchmark's own keeps the other core busy.
struct Condition {
    QString key;   // in recorded figures, e.g. "16ms-idle"
    QString title; // in headings
    QString link;  // in table cells, e.g. "16 ms adapter"
    sim::LinePacing pacing;
    bool busy = false;
    bool startPulse = false; // a start pulse for a timing system right after the drop

    // The key a figure of this condition is recorded by, e.g. "ready@16ms-idle".
    QString keyOf(const char* figure) const;
};

// The pseudo-terminal idle and (with `load`) with the other core busy; then (with
// `pacing`) the line a real module is reached by, at 9600 baud behind a USB adapter
// with a 1 ms and with a 16 ms latency timer, idle. The link does not change what load
// does to the program, so the paced runs leave the busy core out. Last the
// pseudo-terminal, idle, with the start pulse on: it must not make the drop later.
QList<Condition> benchConditions(bool load, bool pacing);

} // namespace korvane::bench
