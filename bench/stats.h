#pragma once

#include <QString>
#include <QStringList>

#include <vector>

namespace korvane::bench {

// Deviations from an ideal, in milliseconds: the median keeps its sign (early or late),
// p99 and max are of the size of the deviation.
struct Summary {
    int count = 0;
    double median = 0;
    double p99 = 0;
    double max = 0;
};

Summary summarize(std::vector<double> deviationsMs);

// "| label | n | median | p99 | max |" with the figures in ms, or dashes without data.
QString summaryRow(const QString& label, const Summary& summary, int decimals = 2);

// A table of one figure a row and one column a condition, each cell "median / p99".
struct SideBySideRow {
    QString label;
    std::vector<Summary> cells; // one a column
};
QString sideBySideTable(const QString& corner, const QStringList& columns,
                        const std::vector<SideBySideRow>& rows);

} // namespace korvane::bench
