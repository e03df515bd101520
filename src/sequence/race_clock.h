#pragma once

#include <QString>
#include <QtGlobal>

namespace korvane::race {

// Shown when the race limit passes without a finish.
inline const QString No_Finish = QStringLiteral("--.--");

// The race-time panel's text for `ms` (>= 0): seconds with two decimals, "32.47".
// Cut to the hundredth, not rounded: the beam is seen up to one tick after it is
// broken, so the reading is late, never early; cutting takes back part of that.
QString raceTimeText(qint32 ms);

} // namespace korvane::race
