#include "sequence/step_timing.h"

#include "sequence/clocks.h"

namespace korvane {

namespace {

constexpr qint64 Ns_Per_Ms = 1'000'000;
// A wake-up further than this from its due time is not waited out: the step's own timer
// runs it, so no wait ever holds the window longer than this.
constexpr qint64 Longest_Wait_Ns = (StepTiming::Early_Ms + 1) * Ns_Per_Ms;

} // namespace

struct StepTiming::Step {
    QTimer* timer = nullptr;
    std::function<void()> handler;
    QTimer early;
    qint64 dueNs = 0;
};

StepTiming::StepTiming(QObject* parent)
    : QObject(parent) {}

StepTiming::~StepTiming() = default;

void StepTiming::add(StartStep step, QTimer& timer, std::function<void()> handler) {
    auto entry = std::make_unique<Step>();
    entry->timer = &timer;
    entry->handler = std::move(handler);
    entry->early.setSingleShot(true);
    entry->early.setTimerType(Qt::PreciseTimer);
    Step* raw = entry.get();
    connect(&raw->early, &QTimer::timeout, this, [this, raw] { wake(*raw); });
    connect(&timer, &QTimer::timeout, this, [this, raw] { run(*raw); });
    steps_[std::size_t(step)] = std::move(entry);
}

qint64 StepTiming::nowNs() const {
    return monotonicNs();
}

void StepTiming::arm(StartStep step, int intervalMs) {
    Step* entry = steps_[std::size_t(step)].get();
    if (entry == nullptr)
        return;
    entry->timer->start(intervalMs);
    entry->dueNs = monotonicNs() + intervalMs * Ns_Per_Ms;
    entry->early.start(qMax(0, intervalMs - Early_Ms));
}

void StepTiming::disarm(StartStep step) {
    if (Step* entry = steps_[std::size_t(step)].get()) {
        entry->timer->stop();
        entry->early.stop();
    }
}

void StepTiming::wake(Step& entry) {
    // Stopped meanwhile, or already run by its own timer.
    if (!entry.timer->isActive())
        return;
    if (entry.dueNs - monotonicNs() > Longest_Wait_Ns)
        return;
    while (monotonicNs() < entry.dueNs) {
    }
    run(entry);
}

void StepTiming::run(Step& entry) {
    entry.timer->stop();
    entry.early.stop();
    entry.handler();
}

} // namespace korvane
