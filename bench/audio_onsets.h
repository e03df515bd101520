#pragma once

#include "tests/support/pulse_server.h"

#include <QString>

#include <map>
#include <optional>

namespace korvane::bench {

// Finds where each tone of a start begins in the recording of the null sink's monitor.
class ToneFinder {
public:
    // `folder` holds the sound files; each file's own lead-in (its fade-in before it
    // reaches the detection level) is taken off, so an onset is the file's first sample.
    explicit ToneFinder(const QString& folder);

    // The start of the tone played by the call at `callNs`: the first sample above the
    // level after at least 10 ms of quiet, within -40..+150 ms of the call.
    std::optional<qint64> onset(const test::Recording& recording, const QString& file,
                                qint64 callNs);

private:
    qint64 leadInNs(const QString& file);

    QString folder_;
    std::map<QString, qint64> leadIns_;
};

} // namespace korvane::bench
