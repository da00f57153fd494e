#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "core/capture_pace.hpp"

namespace tavelin {
namespace {

// A display that keeps changing, drawn at `sourceRate` with draws alternately early and
// late by `jitter`, taken by a capture that wakes at each change once the pace allows.
TEST(CapturePace, TakesChangesAtOnceButAtMostOncePerInterval) {
    using namespace std::chrono;
    struct Case {
        const char* what;
        int sourceRate;
        nanoseconds jitter;
        int takenAtLeast, takenAtMost;
        nanoseconds worstWait;
    };
    for (const auto& c : {// Catches an interval counted from the last picture: the early draws wait 4 ms.
                          Case{"at the refresh rate, uneven", 60, 2ms, 60, 60, 0ns},
                          // Catches a pace that lets a faster source through (one picture
                          // ahead of the pace is allowed once, after the first).
                          Case{"twice the refresh rate", 120, 0ns, 59, 61, 8334us}}) {
        const auto start = steady_clock::time_point{} + 100s;
        CapturePace pace(nanoseconds(1s) / 60);
        int taken = 0;
        nanoseconds worstWait{};
        auto lastTaken = steady_clock::time_point{};
        for (int draw = 0; draw < c.sourceRate; ++draw) {
            const auto drawn = start + draw * (nanoseconds(1s) / c.sourceRate) + (draw % 2 ? -c.jitter : c.jitter);
            const auto at = std::max(drawn, pace.earliest());
            if (at <= lastTaken) continue; // taken with the picture before
            const auto next = start + (draw + 1) * (nanoseconds(1s) / c.sourceRate) - c.jitter;
            if (draw + 1 < c.sourceRate && at >= next) continue; // the next change is taken with it
            pace.took(at);
            lastTaken = at;
            ++taken;
            worstWait = std::max(worstWait, duration_cast<nanoseconds>(at - drawn));
        }
        EXPECT_GE(taken, c.takenAtLeast) << c.what;
        EXPECT_LE(taken, c.takenAtMost) << c.what;
        EXPECT_LE(worstWait, c.worstWait) << c.what;
    }
}

} // namespace
} // namespace tavelin
