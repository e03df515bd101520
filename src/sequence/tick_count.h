#pragma once

#include <QtGlobal>

namespace korvane {

// The system's millisecond tick count: milliseconds since the system started, in 32
// bits, so it wraps after about 49.7 days. Time spent suspended counts.
quint32 tickCount();

} // namespace korvane
