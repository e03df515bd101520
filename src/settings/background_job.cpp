#include "settings/background_job.h"

#include <QThread>

namespace korvane {

BackgroundJob::BackgroundJob(QObject* parent)
    : QObject(parent) {}

BackgroundJob::~BackgroundJob() {
    if (thread_)
        thread_->wait();
}

bool BackgroundJob::start(std::function<bool()> work, std::function<void(bool)> done) {
    if (busy_)
        return false;
    busy_ = true;
    // The previous thread has handed back its result, so it has ended or is ending.
    if (thread_)
        thread_->wait();
    thread_.reset(QThread::create([this, work = std::move(work), done = std::move(done)] {
        const bool result = work();
        // Posted to this object: dropped unread if it is destroyed first, and it cannot
        // be before this thread ends (the destructor waits).
        QMetaObject::invokeMethod(
            this,
            [this, done, result] {
                busy_ = false;
                done(result);
            },
            Qt::QueuedConnection);
    }));
    thread_->start();
    return true;
}

} // namespace korvane
