#pragma once

#include <QObject>

#include <functional>
#include <memory>

class QThread;

namespace korvane {

// Runs one piece of work at a time on a thread of its own and hands its result back on
// the thread that owns this object. The password dialogs use it: a key derivation takes
// a few hundred milliseconds, and the window thread runs the steps of a start.
class BackgroundJob : public QObject {
    Q_OBJECT
public:
    explicit BackgroundJob(QObject* parent = nullptr);
    // Waits for work under way; its result is then never handed back.
    ~BackgroundJob() override;

    // Starts `work`; `done` gets its result here, from the event loop. Returns false, and
    // starts nothing, while earlier work has not handed back its result.
    bool start(std::function<bool()> work, std::function<void(bool)> done);
    bool busy() const { return busy_; }

private:
    std::unique_ptr<QThread> thread_;
    bool busy_ = false;
};

} // namespace korvane
