#include <gtest/gtest.h>

#include <cstdint>

#include "core/frame_rate_cap.hpp"
#include "tests/support/case_name.hpp"

namespace tavelin {
namespace {

struct RateCase {
    const char* what;
    int sourceRate;
    std::int64_t jitterNS; // alternately late and early
    std::int64_t maximum;
    int admittedAtLeast;
    int admittedAtMost;
};

class FrameRateCapping : public testing::TestWithParam<RateCase> {};

TEST_P(FrameRateCapping, AdmitsAtMostTheMaximumInOneSecond) {
    const auto& rate = GetParam();
    FrameRateCap cap;
    cap.setMaximum(rate.maximum);
    int admitted = 0;
    for (int frame = 0; frame < rate.sourceRate; ++frame) {
        const std::int64_t jitter = frame % 2 ? -rate.jitterNS : rate.jitterNS;
        admitted += cap.admit(5'000'000'000 + frame * (1'000'000'000 / rate.sourceRate) + jitter);
    }
    EXPECT_GE(admitted, rate.admittedAtLeast);
    EXPECT_LE(admitted, rate.admittedAtMost);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, FrameRateCapping,
    testing::Values(RateCase{"no maximum", 60, 0, 0, 60, 60},
                    // A capture paced at the maximum must not lose frames to its jitter.
                    RateCase{"capture at the maximum with jitter", 60, 3'000'000, 60, 60, 60},
                    // Catches a tolerance so wide that a frame between two due times passes.
                    RateCase{"twice the maximum", 120, 0, 60, 60, 60},
                    // Catches a cap that forgets the grid and admits 72 of 144.
                    RateCase{"an uneven multiple", 144, 1'000'000, 60, 59, 60}),
    support::CaseName{});

} // namespace
} // namespace tavelin
