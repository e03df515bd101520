#pragma once

#include <QtGlobal>

namespace korvane {

// The monotonic clock in nanoseconds (CLOCK_MONOTONIC on Linux, the performance counter
// on Windows): for due times and durations, never set back.
qint64 monotonicNs();

// The system's millisecond tick count: milliseconds since the system started, in 32
// bits, so it wraps after about 49.7 days. Time spent suspended counts.
quint32 tickCount();

} // namespace korvane
