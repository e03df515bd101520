#include "sim/event_loop.h"

#include <QEventLoop>
#include <QTimer>

namespace korvane::sim {

bool runUntil(const std::function<bool()>& done, int timeoutMs, int checkEveryMs) {
    if (done())
        return true;
    QEventLoop loop;
    QTimer check;
    check.setTimerType(Qt::PreciseTimer);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    check.start(checkEveryMs);
    loop.exec();
    return done();
}

void runEventsFor(int ms) {
    runUntil([] { return false; }, ms, ms);
}

} // namespace korvane::sim
