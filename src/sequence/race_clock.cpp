#include "sequence/race_clock.h"

namespace korvane::race {

QString raceTimeText(qint32 ms) {
    const qint32 hundredths = ms / 10;
    return QStringLiteral("%1.%2")
        .arg(hundredths / 100)
        .arg(hundredths % 100, 2, 10, QLatin1Char('0'));
}

} // namespace korvane::race
