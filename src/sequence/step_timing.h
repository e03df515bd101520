#pragma once

#include "sequence/start_sequence.h"

#include <QObject>
#include <QTimer>

#include <array>
#include <functional>
#include <memory>

namespace korvane {

// Runs the timed steps of a start on the monotonic clock at exactly their due time, not
// at the next wake-up of the event loop, which comes a fraction of a millisecond late and
// would add up over a chain of steps. Each step has a window timer of its own, which
// keeps the step's interval and state (running while armed) and stays the fallback;
// beside it a precise timer wakes the thread `Early_Ms` before the due time, and the rest
// is waited out on the clock. That wait happens only in a start and lasts at most about
// `Early_Ms` a step.
class StepTiming : public QObject, public StepTimer {
    Q_OBJECT
public:
    static constexpr int Early_Ms = 2;

    explicit StepTiming(QObject* parent = nullptr);
    ~StepTiming() override;

    // `timer` is the step's own; `handler` runs the step. A step's timer is stopped
    // before its handler runs, so the handler may arm it again.
    void add(StartStep step, QTimer& timer, std::function<void()> handler);

    qint64 nowNs() const override;
    // Sets the step's timer to `intervalMs` and starts it, with its early wake-up.
    void arm(StartStep step, int intervalMs) override;
    void disarm(StartStep step) override;

private:
    struct Step;
    void wake(Step& step);
    void run(Step& step);

    std::array<std::unique_ptr<Step>, Start_Step_Count> steps_;
};

} // namespace korvane
