#include "bench/busy_load.h"

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace korvane::bench {

BusyLoad::BusyLoad() {
    pid_ = fork();
    if (pid_ == 0) {
        // Only the loop runs in the child: nothing else is safe after fork() in a process
        // with threads.
        volatile unsigned long spin = 0;
        for (;;)
            spin = spin + 1;
    }
}

BusyLoad::~BusyLoad() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

} // namespace korvane::bench
