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
    QTimer* step = nullptr;
    std::function<void()> handler;
    QTimer early;
    qint64 dueNs = 0;
};

StepTiming::StepTiming(QObject* parent)
    : QObject(parent) {}

StepTiming::~StepTiming() = default;

void StepTiming::add(QTimer& step, std::function<void()> handler) {
    auto entry = std::make_unique<Step>();
    entry->step = &step;
    entry->handler = std::move(handler);
    entry->early.setSingleShot(true);
    entry->early.setTimerType(Qt::PreciseTimer);
    Step* raw = entry.get();
    connect(&raw->early, &QTimer::timeout, this, [this, raw] { wake(*raw); });
    steps_.push_back(std::move(entry));
}

void StepTiming::arm(QTimer& step) {
    if (step.isActive())
        return;
    step.start();
    for (const auto& entry : steps_) {
        if (entry->step != &step)
            continue;
        entry->dueNs = monotonicNs() + step.interval() * Ns_Per_Ms;
        entry->early.start(qMax(0, step.interval() - Early_Ms));
        return;
    }
}

void StepTiming::wake(Step& entry) {
    // Stopped meanwhile, or already run by its own timer.
    if (!entry.step->isActive())
        return;
    if (entry.dueNs - monotonicNs() > Longest_Wait_Ns)
        return;
    while (monotonicNs() < entry.dueNs) {
    }
    entry.handler();
}

} // namespace korvane
