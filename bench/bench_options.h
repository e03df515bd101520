#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>

namespace korvane::bench {

// What both benchmarks are told alike: which conditions to leave out, where the report
// goes, what to compare it with and what it says of the run.
struct CommonOptions {
    bool load = true;
    bool pacing = true;
    QString out;
    QString previous; // the report whose figures the new ones stand beside
    QString revision;
    QString command;
};

// Adds the common options to a parser; read() takes them out after it has processed.
class CommonOptionParser {
public:
    CommonOptionParser(QCommandLineParser& parser, const QString& defaultOut);
    CommonOptions read() const;

private:
    QCommandLineParser& parser_;
    QCommandLineOption noLoad_, noPacing_, out_, previous_, revision_, command_;
};

} // namespace korvane::bench
