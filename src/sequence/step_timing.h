#pragma once

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

namespace korvane {

// Runs the timed steps of a start on the monotonic clock at exactly their due time,
// not at the next wake-up of the event loop, which comes a fraction of a millisecond
// late and would add up over a chain of steps. A step's own window timer keeps its
// interval and state (enabled, time left) and stays the fallback; beside it a precise
// timer wakes the window thread `Early_Ms` before the due time, and the rest is waited
// out on the clock. That wait happens only in a start and lasts at most about
// `Early_Ms` a step.
class StepTiming : public QObject {
    Q_OBJECT
public:
    static constexpr int Early_Ms = 2;

    explicit StepTiming(QObject* parent = nullptr);
    ~StepTiming() override;

    // `handler` runs the step and disables `step` once it has run; a step that leaves it
    // running (a held one) gets its next ticks from `step` alone.
    void add(QTimer& step, std::function<void()> handler);
    // Enables `step` (due one full interval from now) with its early wake-up. A step
    // that is running already keeps its time.
    void arm(QTimer& step);

private:
    struct Step;
    void wake(Step& step);

    std::vector<std::unique_ptr<Step>> steps_;
};

} // namespace korvane
