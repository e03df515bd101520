#pragma once

#include <QString>

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

} // namespace korvane::bench
