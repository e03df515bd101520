#include "sequence/random_delay.h"

namespace korvane {

int drawRandomDelayMs(QRandomGenerator& source) {
    // bounded() leaves out its upper end.
    return source.bounded(Random_Delay_Min_Ms, Random_Delay_Max_Ms + 1);
}

} // namespace korvane
