#pragma once

#include "bench/conditions.h"
#include "bench/recorded_figures.h"

#include <QDateTime>
#include <QString>

#include <optional>
#include <vector>

namespace korvane::bench {

// The races of one condition, each figure in ms.
struct RaceResult {
    Condition condition;
    std::vector<double> readCosts;  // one read transaction of port B
    std::vector<double> shownError; // the panel's time − the true time
    std::vector<double> countError; // Race_time (whole ms) − the true time
    std::vector<double> longestGaps;
    int quietSeconds = 5;
    double gapWithoutRace = 0; // the longest event-loop gap over that long without a race
    int readTimeouts = 0;
    QString machine; // what the machine did meanwhile
};

struct RaceResults {
    QDateTime began;
    QString revision;
    QString command; // what ran it
    QString loadAtStart;
    int races = 0; // per condition
    int beepMs = 0;
    std::vector<RaceResult> conditions;
    std::optional<RecordedFigures> previous;
};

// The figures section of docs/race-timing.md, between its markers.
QString raceFigures(const RaceResults& results);

// Puts the figures section in place of the one in the report at `path`, keeping the
// text around it; a file without one (or none at all) gets the section alone.
bool writeRaceFigures(const QString& path, const QString& figures);

} // namespace korvane::bench
