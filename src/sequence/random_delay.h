#pragma once

#include <QRandomGenerator>

namespace korvane {

// Random start: the cadence waits this long before the first light, so that riders
// cannot learn the rhythm of the beeps and go on it.
inline constexpr int kRandomDelayMinMs = 100;
inline constexpr int kRandomDelayMaxMs = 2700;

// A delay drawn uniformly from kRandomDelayMinMs to kRandomDelayMaxMs, both included,
// to the millisecond. The system's source is seeded by the operating system, so no two
// runs of the program draw the same sequence; tests may pass a source of their own.
int drawRandomDelayMs(QRandomGenerator& source = *QRandomGenerator::system());

} // namespace korvane
