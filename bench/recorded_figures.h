#pragma once

#include "bench/stats.h"

#include <QList>
#include <QString>

#include <map>
#include <optional>

namespace korvane::bench {

// The headline figures of one run, kept in its report as an HTML comment so that the
// next run can set its own beside them.
struct RecordedFigures {
    QString revision;
    QString measured; // when, as the report says it
    std::map<QString, Summary> byKey;

    const Summary* find(const QString& key) const;
};

// The comment block that holds the figures (invisible in the rendered report).
QString recordBlock(const RecordedFigures& figures);
// The figures of the first block in a report's text; nothing without one.
std::optional<RecordedFigures> readRecordBlock(const QString& report);
// The same from a report file; nothing when it cannot be read or holds no block.
std::optional<RecordedFigures> readRecordFile(const QString& path);

// One figure of a run, under the key it is recorded by.
struct MeasuredFigure {
    QString key; // e.g. "beep-interval-bytes@pty-idle"
    QString label;
    Summary summary;
};

// Each of `figures` (with `key` and `label`) of each of `results` (with its `condition`),
// labelled "<figure>, <link>"; `summary(result, figure)` gives its figures.
template <typename Results, typename Figures, typename SummaryOf>
QList<MeasuredFigure> everyFigure(const Results& results, const Figures& figures,
                                  SummaryOf summary) {
    QList<MeasuredFigure> measured;
    for (const auto& result : results) {
        for (const auto& figure : figures)
            measured.append(
                {result.condition.keyOf(figure.key),
                 QString::fromUtf8(figure.label) + QStringLiteral(", ") + result.condition.link,
                 summary(result, figure)});
    }
    return measured;
}

// The figures as the report records them.
RecordedFigures recordOf(const QString& revision, const QString& measured,
                         const QList<MeasuredFigure>& figures);

// Which run came before, and a table of the figures now beside its figures, one row a
// figure; without a run before its columns show dashes.
QString comparisonSection(const QList<MeasuredFigure>& figures,
                          const std::optional<RecordedFigures>& before);

// Writes a report in one step, so a failed write leaves the previous one whole.
bool writeReportFile(const QString& path, const QString& text);

} // namespace korvane::bench
