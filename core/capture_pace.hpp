#pragma once

#include <algorithm>
#include <chrono>

namespace tavelin {

// While the picture keeps changing it is taken at most once a refresh interval in the
// long run, and at most a quarter of an interval ahead of that pace (a leaky bucket in
// its virtual-scheduling form). Measuring an interval from the last picture instead
// would let every late wake-up push back all the pictures after it, and a change drawn
// a little early would wait for a whole interval.
class CapturePace {
public:
    using Clock = std::chrono::steady_clock;

    explicit CapturePace(Clock::duration period) : period_(period) {}
    // When the next picture may be taken.
    Clock::time_point earliest() const { return due_ - period_ / 4; }
    void took(Clock::time_point at) { due_ = std::max(at, due_) + period_; }

private:
    Clock::duration period_;
    Clock::time_point due_{};
};

} // namespace tavelin
