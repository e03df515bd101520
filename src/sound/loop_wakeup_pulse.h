#pragma once

#include <pulse/mainloop-api.h>

#include <functional>

namespace korvane {

// Wakes a libpulse mainloop from any thread without its lock: an eventfd the loop
// watches. The callback runs on the loop's thread, inside its lock, once for any number
// of signals since the last run.
class LoopWakeup {
public:
    // Both with the loop locked (or not yet running).
    LoopWakeup(pa_mainloop_api* api, std::function<void()> callback);
    ~LoopWakeup();
    LoopWakeup(const LoopWakeup&) = delete;
    LoopWakeup& operator=(const LoopWakeup&) = delete;

    // False when no eventfd could be made or watched: signals then do nothing.
    bool isValid() const { return event_ != nullptr; }

    // Any thread: one write().
    void signal();

private:
    static void onReadable(pa_mainloop_api* api, pa_io_event* event, int fd,
                           pa_io_event_flags_t flags, void* self);

    pa_mainloop_api* api_;
    std::function<void()> callback_;
    int fd_ = -1;
    pa_io_event* event_ = nullptr;
};

} // namespace korvane
