#include "sequence/random_delay.h"

namespace korvane {

int drawRandomDelayMs(QRandomGenerator& source) {
    // bounded() leaves out its upper end.
    return source.bounded(kRandomDelayMinMs, kRandomDelayMaxMs + 1);
}

} // namespace korvane
