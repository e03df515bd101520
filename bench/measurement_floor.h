#pragma once

#include <vector>

namespace korvane::bench {

// The measuring instrument's own delay: from a two-byte command handed to the kernel
// (QSerialPort write and flush returned) to its stamp at a virtual module, in ms. Every
// byte stamp of the benchmark includes this.
std::vector<double> ptyDeliveryMs(int samples, int spacingMs);

// What the machine itself allows a timer: how much later than asked a thread wakes from
// clock_nanosleep, in ms.
std::vector<double> sleepOvershootMs(int samples, int sleepMs);

} // namespace korvane::bench
