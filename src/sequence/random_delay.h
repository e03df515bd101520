#pragma once

#include <QRandomGenerator>

namespace korvane {

// Random start: the cadence waits this long before the first light, so that riders
// cannot learn the rhythm of the beeps and go on it.
inline constexpr int Random_Delay_Min_Ms = 100;
inline constexpr int Random_Delay_Max_Ms = 2700;

// A delay drawn uniformly from Random_Delay_Min_Ms to Random_Delay_Max_Ms, both included,
// to the millisecond. The system's source is seeded by the operating system, so no two
// runs of the program draw the same sequence; tests may pass a source of their own.
int drawRandomDelayMs(QRandomGenerator& source = *QRandomGenerator::system());

} // namespace korvane
