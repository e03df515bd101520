#include "bench/race_report.h"

#include "bench/stats.h"

#include <QFile>
#include <QStringList>

namespace korvane::bench {

namespace {

const QString Section_Begin =
    QStringLiteral("<!-- The figures below are written by korvane-race-bench (scripts/bench); "
                   "edit the text around them, not them. -->");
const QString Section_End = QStringLiteral("<!-- End of the figures written by korvane-race-bench. "
                                           "-->");

// The figures compared with the run before and set side by side across the links.
struct Figure {
    const char* key;
    const char* label;
    std::vector<double> RaceResult::*values;
};

const Figure Figures[] = {
    {"read-transaction", "read transaction of port B", &RaceResult::readCosts},
    {"race-shown", "shown race time − true time", &RaceResult::shownError},
    {"race-count", "Race_time − true time", &RaceResult::countError},
    {"loop-gap", "longest event-loop gap per race", &RaceResult::longestGaps},
};

QString conditionTable(const RaceResult& r) {
    QStringList rows = {QStringLiteral("| measured (ms) | n | median | p99 | max |"),
                        QStringLiteral("|---|---:|---:|---:|---:|")};
    for (const Figure& f : Figures)
        rows << summaryRow(QString::fromUtf8(f.label), summarize(r.*f.values));
    rows << QStringLiteral("| longest event-loop gap, %1 s without a race | 1 | %2 | | |")
                .arg(r.quietSeconds)
                .arg(r.gapWithoutRace, 0, 'f', 2);
    return rows.join(QLatin1Char('\n')) +
           QStringLiteral("\n\n“Read Timeout”: %1 (counted, not shown). During these races: %2.")
               .arg(r.readTimeouts)
               .arg(r.machine);
}

QString linkTable(const RaceResults& results) {
    QStringList columns;
    std::vector<const RaceResult*> idle;
    for (const RaceResult& r : results.conditions) {
        if (!r.condition.busy) {
            idle.push_back(&r);
            columns << r.condition.link;
        }
    }
    std::vector<SideBySideRow> rows;
    for (const Figure& f : Figures) {
        SideBySideRow row{QString::fromUtf8(f.label), {}};
        for (const RaceResult* r : idle)
            row.cells.push_back(summarize(r->*f.values));
        rows.push_back(std::move(row));
    }
    return sideBySideTable(QStringLiteral("Idle, median / p99 (ms)"), columns, rows);
}

QList<MeasuredFigure> measuredFigures(const RaceResults& results) {
    return everyFigure(results.conditions, Figures,
                       [](const RaceResult& r, const Figure& f) { return summarize(r.*f.values); });
}

} // namespace

QString raceFigures(const RaceResults& results) {
    const QList<MeasuredFigure> figures = measuredFigures(results);
    const QString measured = results.began.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    QStringList parts = {
        Section_Begin,
        QStringLiteral("## Figures"),
        QStringLiteral("Measured by `%1` on %2, program revision %3: %4 races per condition, the "
                       "beam broken 1 to 5 s after the drop, beeps %5 ms apart, the start-button "
                       "poll running. Load average when the run began: %6.")
            .arg(results.command, measured,
                 results.revision.isEmpty() ? QStringLiteral("unknown") : results.revision)
            .arg(results.races)
            .arg(results.beepMs)
            .arg(results.loadAtStart),
    };
    for (const RaceResult& r : results.conditions)
        parts << QStringLiteral("### ") + r.condition.title << conditionTable(r);
    parts << QStringLiteral("### What a real link adds") << linkTable(results)
          << QStringLiteral(
                 "On a paced link a read holds the window for its round trip: the read command "
                 "and its reply, 1.04 ms each on the wire, and the adapter's latency timer; with "
                 "a 16 ms adapter the reads follow each other about every 19 ms instead of every "
                 "10 ms. Both ends of the race are taken as their commands are written, but the "
                 "drop's command waits on the wire behind its beep's light command and reaches "
                 "the gate 4.2 ms after its write, the one-byte read 1.04 ms after its own: the "
                 "shown time comes out about 3 ms longer.")
          << QStringLiteral("### Against the run before")
          << comparisonSection(figures, results.previous)
          << recordBlock(recordOf(results.revision, measured, figures)) << Section_End;
    return parts.join(QStringLiteral("\n\n")) + QLatin1Char('\n');
}

bool writeRaceFigures(const QString& path, const QString& figures) {
    QString text;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        text = QString::fromUtf8(file.readAll());
    const qsizetype begin = text.indexOf(Section_Begin);
    const qsizetype end = begin < 0 ? -1 : text.indexOf(Section_End, begin);
    if (end < 0)
        return writeReportFile(path, figures);
    // The section's own text ends with a line end; what stood after the old one follows.
    qsizetype after = end + Section_End.size();
    if (after < text.size() && text.at(after) == QLatin1Char('\n'))
        ++after;
    return writeReportFile(path, text.left(begin) + figures + text.mid(after));
}

} // namespace korvane::bench
