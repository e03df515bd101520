#include "sequence/clocks.h"

#include <chrono>

#ifdef _WIN32
#include <windows.h>
#else
#include <ctime>
#endif

namespace korvane {

qint64 monotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

quint32 tickCount() {
#ifdef _WIN32
    return static_cast<quint32>(GetTickCount());
#else
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    const quint64 ms = quint64(ts.tv_sec) * 1000 + quint64(ts.tv_nsec) / 1000000;
    return static_cast<quint32>(ms); // wraps like the Windows count
#endif
}

} // namespace korvane
