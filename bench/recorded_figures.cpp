#include "bench/recorded_figures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringList>

namespace korvane::bench {

namespace {

const QString Block_Begin = QStringLiteral("<!-- figures for the next run to compare with");
const QString Block_End = QStringLiteral("-->");

QString figure(double value) {
    return QString::number(value, 'f', 2);
}

QString cells(const Summary* summary) {
    if (!summary || summary->count == 0)
        return QStringLiteral("– | – | – | –");
    return QStringLiteral("%1 | %2 | %3 | %4")
        .arg(summary->count)
        .arg(figure(summary->median), figure(summary->p99), figure(summary->max));
}

} // namespace

const Summary* RecordedFigures::find(const QString& key) const {
    const auto found = byKey.find(key);
    return found == byKey.end() ? nullptr : &found->second;
}

QString recordBlock(const RecordedFigures& figures) {
    QStringList lines = {Block_Begin, QStringLiteral("revision: ") + figures.revision,
                         QStringLiteral("measured: ") + figures.measured};
    for (const auto& [key, s] : figures.byKey) {
        lines << QStringLiteral("%1: n=%2 median=%3 p99=%4 max=%5")
                     .arg(key)
                     .arg(s.count)
                     .arg(figure(s.median), figure(s.p99), figure(s.max));
    }
    lines << Block_End;
    return lines.join(QLatin1Char('\n'));
}

std::optional<RecordedFigures> readRecordBlock(const QString& report) {
    const qsizetype begin = report.indexOf(Block_Begin);
    const qsizetype end = begin < 0 ? -1 : report.indexOf(Block_End, begin);
    if (end < 0)
        return std::nullopt;
    static const QRegularExpression figureLine(
        QStringLiteral("^(\\S+): n=(\\d+) median=(\\S+) p99=(\\S+) max=(\\S+)$"));
    RecordedFigures figures;
    const QStringList lines = report.mid(begin, end - begin).split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        if (line.startsWith(QLatin1String("revision: ")))
            figures.revision = line.mid(10);
        else if (line.startsWith(QLatin1String("measured: ")))
            figures.measured = line.mid(10);
        else if (const QRegularExpressionMatch m = figureLine.match(line); m.hasMatch())
            figures.byKey[m.captured(1)] = {m.captured(2).toInt(), m.captured(3).toDouble(),
                                            m.captured(4).toDouble(), m.captured(5).toDouble()};
    }
    return figures;
}

std::optional<RecordedFigures> readRecordFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return readRecordBlock(QString::fromUtf8(file.readAll()));
}

RecordedFigures recordOf(const QString& revision, const QString& measured,
                         const QList<MeasuredFigure>& figures) {
    RecordedFigures record;
    record.revision = revision.isEmpty() ? QStringLiteral("unknown") : revision;
    record.measured = measured;
    for (const MeasuredFigure& f : figures) {
        if (f.summary.count > 0)
            record.byKey[f.key] = f.summary;
    }
    return record;
}

QString comparisonSection(const QList<MeasuredFigure>& figures,
                          const std::optional<RecordedFigures>& before) {
    QStringList lines = {
        before ? QStringLiteral("The run before: revision %1, measured %2.")
                     .arg(before->revision, before->measured)
               : QStringLiteral("No figures of a run before were found."),
        QString(),
        QStringLiteral("| Figure (ms) | n | median | p99 | max | before: n | median | p99 | max |"),
        QStringLiteral("|---|---:|---:|---:|---:|---:|---:|---:|---:|")};
    for (const MeasuredFigure& f : figures) {
        const Summary* earlier = before ? before->find(f.key) : nullptr;
        // A figure that only some conditions have (the start pulse's) is left out where
        // neither run measured it.
        if (f.summary.count == 0 && (earlier == nullptr || earlier->count == 0))
            continue;
        lines << QStringLiteral("| %1 | %2 | %3 |").arg(f.label, cells(&f.summary), cells(earlier));
    }
    return lines.join(QLatin1Char('\n'));
}

bool writeReportFile(const QString& path, const QString& text) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) >= 0 && file.commit();
}

} // namespace korvane::bench
