#pragma once

#include <functional>

namespace korvane::sim {

// Runs the event loop until `done` holds or `timeoutMs` has passed, looking every
// `checkEveryMs`; the loop blocks between events as the program's own does, so timers
// keep their time. Returns `done()`.
bool runUntil(const std::function<bool()>& done, int timeoutMs, int checkEveryMs = 5);

// Runs the event loop for `ms`.
void runEventsFor(int ms);

} // namespace korvane::sim
