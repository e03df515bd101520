#include "bench/stats.h"

#include <algorithm>
#include <cmath>

namespace korvane::bench {

namespace {

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Nearest rank: the smallest value that at least `fraction` of the values do not exceed.
double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const auto rank = std::size_t(std::ceil(fraction * double(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

} // namespace

Summary summarize(std::vector<double> deviationsMs) {
    Summary s;
    s.count = int(deviationsMs.size());
    if (deviationsMs.empty())
        return s;
    s.median = median(deviationsMs);
    for (double& value : deviationsMs)
        value = std::abs(value);
    s.p99 = percentile(deviationsMs, 0.99);
    s.max = *std::max_element(deviationsMs.begin(), deviationsMs.end());
    return s;
}

QString summaryRow(const QString& label, const Summary& summary, int decimals) {
    if (summary.count == 0)
        return QStringLiteral("| %1 | 0 | – | – | – |").arg(label);
    return QStringLiteral("| %1 | %2 | %3 | %4 | %5 |")
        .arg(label)
        .arg(summary.count)
        .arg(summary.median, 0, 'f', decimals)
        .arg(summary.p99, 0, 'f', decimals)
        .arg(summary.max, 0, 'f', decimals);
}

QString sideBySideTable(const QString& corner, const QStringList& columns,
                        const std::vector<SideBySideRow>& rows) {
    QStringList lines = {
        QStringLiteral("| %1 | %2 |").arg(corner, columns.join(QStringLiteral(" | "))),
        QStringLiteral("|---|") + QStringLiteral("---:|").repeated(columns.size())};
    for (const SideBySideRow& row : rows) {
        QString line = QStringLiteral("| %1 |").arg(row.label);
        for (const Summary& s : row.cells)
            line += s.count == 0 ? QStringLiteral(" – |")
                                 : QStringLiteral(" %1 / %2 |")
                                       .arg(QString::number(s.median, 'f', 2),
                                            QString::number(s.p99, 'f', 2));
        lines << line;
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace korvane::bench
