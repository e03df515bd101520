#include "sound/loop_wakeup_pulse.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace korvane {

LoopWakeup::LoopWakeup(pa_mainloop_api* api, std::function<void()> callback)
    : api_(api)
    , callback_(std::move(callback)) {
    fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd_ >= 0) {
        event_ = api_->io_new(api_, fd_, PA_IO_EVENT_INPUT, onReadable, this);
    }
}

LoopWakeup::~LoopWakeup() {
    if (event_ != nullptr) {
        api_->io_free(event_);
    }
    if (fd_ >= 0) {
        close(fd_);
    }
}

void LoopWakeup::signal() {
    if (event_ == nullptr) {
        return;
    }
    const std::uint64_t one = 1;
    // Fails only when the counter is full, that is when the loop has been signalled anyway.
    [[maybe_unused]] const ssize_t written = write(fd_, &one, sizeof one);
}

void LoopWakeup::onReadable(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t,
                            void* self) {
    std::uint64_t signals = 0;
    [[maybe_unused]] const ssize_t drained = read(fd, &signals, sizeof signals);
    static_cast<LoopWakeup*>(self)->callback_();
}

} // namespace korvane
