#include "bench/bench_options.h"

#include <QFileInfo>

namespace korvane::bench {

CommonOptionParser::CommonOptionParser(QCommandLineParser& parser, const QString& defaultOut)
    : parser_(parser)
    , noLoad_(QStringLiteral("no-load"), QStringLiteral("Skip the runs with the other core busy."))
    , noPacing_(QStringLiteral("no-pacing"),
                QStringLiteral("Skip the runs on a link paced as a real one."))
    , out_(QStringLiteral("out"), QStringLiteral("Report file (default %1).").arg(defaultOut),
           QStringLiteral("file"), defaultOut)
    , previous_(QStringLiteral("previous"),
                QStringLiteral("The report whose figures to compare with (default: the report "
                               "file before it is written)."),
                QStringLiteral("file"))
    , revision_(QStringLiteral("revision"),
                QStringLiteral("The program's revision, for the report."), QStringLiteral("text"))
    , command_(QStringLiteral("command"), QStringLiteral("What ran the benchmark, for the report."),
               QStringLiteral("text"), QStringLiteral("scripts/bench")) {
    parser_.addOptions({noLoad_, noPacing_, out_, previous_, revision_, command_});
}

CommonOptions CommonOptionParser::read() const {
    CommonOptions o;
    o.load = !parser_.isSet(noLoad_);
    o.pacing = !parser_.isSet(noPacing_);
    // Taken as absolute now: the benchmark runs the program in a folder of its own.
    o.out = QFileInfo(parser_.value(out_)).absoluteFilePath();
    o.previous =
        parser_.isSet(previous_) ? QFileInfo(parser_.value(previous_)).absoluteFilePath() : o.out;
    o.revision = parser_.value(revision_);
    o.command = parser_.value(command_);
    return o;
}

} // namespace korvane::bench
