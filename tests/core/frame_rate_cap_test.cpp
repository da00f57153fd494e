#include <gtest/gtest.h>

#include <cstdint>

#include "core/frame_rate_cap.hpp"

namespace tavelin {
namespace {

TEST(FrameRateCap, AdmitsAtMostTheMaximumInOneSecond) {
    struct Case {
        const char* what;
        int sourceRate;
        std::int64_t jitterNS; // alternately late and early
        std::int64_t maximum;
        int admittedAtLeast, admittedAtMost;
    };
    for (const auto& c : {Case{"no maximum", 60, 0, 0, 60, 60},
                          // A capture paced at the maximum must not lose frames to its jitter.
                          Case{"capture at the maximum with jitter", 60, 3'000'000, 60, 60, 60},
                          // Catches a tolerance so wide that a frame between two due times passes.
                          Case{"twice the maximum", 120, 0, 60, 60, 60},
                          // Catches a cap that forgets the grid and admits 72 of 144.
                          Case{"an uneven multiple", 144, 1'000'000, 60, 59, 60}}) {
        FrameRateCap cap;
        cap.setMaximum(c.maximum);
        int admitted = 0;
        for (int frame = 0; frame < c.sourceRate; ++frame) {
            const std::int64_t jitter = frame % 2 ? -c.jitterNS : c.jitterNS;
            admitted += cap.admit(5'000'000'000 + frame * (1'000'000'000 / c.sourceRate) + jitter);
        }
        EXPECT_GE(admitted, c.admittedAtLeast) << c.what;
        EXPECT_LE(admitted, c.admittedAtMost) << c.what;
    }
}

} // namespace
} // namespace tavelin
