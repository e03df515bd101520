#pragma once

#include <array>
#include <atomic>
#include <optional>
#include <utility>

namespace korvane {

// Hands the latest value from one thread to another without a lock, so the writer never
// waits for the reader: a value not yet taken is replaced by the next one. Three slots:
// the writer fills its own, then swaps it with the middle one in a single atomic step;
// the reader swaps its own with the middle one when that holds something new. One
// writing thread and one reading thread.
template <typename T> class LatestValueMailbox {
public:
    // Writer's thread only. A value replaced before it was taken is destroyed here, on a
    // later post.
    void post(T value) {
        slots_[writerSlot_] = std::move(value);
        writerSlot_ = middle_.exchange(writerSlot_ | Fresh, std::memory_order_acq_rel) & Index;
    }

    // Reader's thread only. Empty when nothing was posted since the last take.
    std::optional<T> take() {
        if ((middle_.load(std::memory_order_relaxed) & Fresh) == 0) {
            return std::nullopt;
        }
        readerSlot_ = middle_.exchange(readerSlot_, std::memory_order_acq_rel) & Index;
        // Left empty, so what the writer gets back holds nothing of the reader's.
        return std::exchange(slots_[readerSlot_], T{});
    }

private:
    static constexpr unsigned Index = 3;
    static constexpr unsigned Fresh = 4;

    std::array<T, 3> slots_{};
    unsigned writerSlot_ = 0;
    unsigned readerSlot_ = 1;
    // The middle slot's index, with Fresh while it holds a value the reader has not taken.
    std::atomic<unsigned> middle_{2};
};

} // namespace korvane
