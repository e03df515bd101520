#pragma once

#include <sys/types.h>

namespace korvane::bench {

// A process that keeps one core busy with a plain loop, from construction until
// destruction: the "other core busy" condition.
class BusyLoad {
public:
    BusyLoad();
    ~BusyLoad();
    BusyLoad(const BusyLoad&) = delete;
    BusyLoad& operator=(const BusyLoad&) = delete;

    bool isRunning() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

} // namespace korvane::bench
