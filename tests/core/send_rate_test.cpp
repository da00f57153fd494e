#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/capture_pace.hpp"
#include "core/frame_rate_cap.hpp"
#include "core/send_rate.hpp"
#include "core/yuv_conversion.hpp"
#include "tests/support/case_name.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;

// One receiver report: packets lost and packets expected since the previous one, when
// it arrived, and the rate after it.
struct Step { std::int64_t lost, expected; std::chrono::milliseconds at; std::int64_t target; };

struct SteeringCase {
    const char* what;
    std::int64_t startingTarget; // reached by a cut before the steps, 0 for the ceiling
    std::vector<Step> steps;
};

class SendRateSteering : public testing::TestWithParam<SteeringCase> {};

TEST_P(SendRateSteering, FollowsTheReportedLoss) {
    const auto& param = GetParam();
    SendRateController rate;
    rate.setBounds(5'000'000, 20'000'000);
    const auto start = SendRateController::Clock::time_point{} + 1h;
    ReceptionReport report{0, 1000};
    EXPECT_FALSE(rate.update(report, start)) << "a first report has nothing to compare with";
    // Cut to the starting target with one heavy report (lost fraction chosen to land there).
    if (param.startingTarget) {
        const double cut = 2.0 * (1.0 - static_cast<double>(param.startingTarget) / 20'000'000.0);
        report = {report.cumulativeLost + static_cast<std::int64_t>(cut * 1000), report.extendedHighestSequence + 1000};
        rate.update(report, start);
        ASSERT_EQ(rate.target(), param.startingTarget);
    }
    for (const auto& step : param.steps) {
        report = {report.cumulativeLost + step.lost, report.extendedHighestSequence + step.expected};
        rate.update(report, start + step.at);
        EXPECT_EQ(rate.target(), step.target) << "after the report at " << step.at.count() << " ms";
    }
}

INSTANTIATE_TEST_SUITE_P(Reports, SendRateSteering, testing::Values(
    SteeringCase{"heavy loss cuts in proportion", 0, {{200, 1000, 1s, 18'000'000}, {500, 1000, 2s, 13'500'000}}},
    SteeringCase{"repeated heavy loss stops at the floor", 0,
                 {{900, 1000, 1s, 11'000'000}, {900, 1000, 2s, 6'050'000}, {900, 1000, 3s, 5'000'000}}},
    SteeringCase{"moderate loss holds the rate", 12'000'000, {{50, 1000, 2s, 12'000'000}, {20, 1000, 3s, 12'000'000}}},
    // Growth at most once a second, however often reports come.
    SteeringCase{"a clean link climbs a step a second", 10'000'000,
                 {{0, 1000, 1s, 10'800'000}, {0, 500, 1500ms, 10'800'000}, {0, 500, 2s, 11'664'000}}},
    SteeringCase{"a clean link stops at the ceiling", 0, {{0, 1000, 1s, 20'000'000}, {0, 1000, 2s, 20'000'000}}},
    // The sequence went back: the receiver restarted its counts, which tells nothing.
    SteeringCase{"restarted counts are ignored", 10'000'000, {{900, -5000, 1s, 10'000'000}}},
    // Duplicates make the lost count fall; that is no negative loss.
    SteeringCase{"duplicates count as no loss", 10'000'000, {{-30, 1000, 1s, 10'800'000}}}),
    support::CaseName{});

TEST(SendRateController, WhatWasLearntSurvivesAnEmptyReportAndNewBounds) {
    SendRateController rate;
    rate.setBounds(1'000'000, 10'000'000);
    const auto now = SendRateController::Clock::now();
    rate.update({0, 100}, now);
    EXPECT_TRUE(rate.update({100, 200}, now)); // all lost: halved
    // A report about no new packets says nothing, even with a changed lost count.
    EXPECT_FALSE(rate.update({100, 200}, now + 2s));
    EXPECT_FALSE(rate.update({150, 200}, now + 3s));
    EXPECT_EQ(rate.target(), 5'000'000);
    rate.setBounds(1'000'000, 20'000'000); // the same parameters applied again after the answer
    EXPECT_EQ(rate.target(), 5'000'000);
    rate.setBounds(1'000'000, 3'000'000);
    EXPECT_EQ(rate.target(), 3'000'000);
    rate.setBounds(8'000'000, 4'000'000); // a floor above the ceiling gives way
    EXPECT_EQ(rate.floor(), 4'000'000);
    EXPECT_EQ(rate.target(), 4'000'000);
}

TEST(FramesForRate, OnlyHoldingTheResolutionTradesFramesForBits) {
    struct Case { std::int64_t target; bool maintainResolution; std::int64_t frames; };
    for (const auto& [target, maintainResolution, frames] : std::vector<Case>{
             {20'000'000, true, 60}, {10'000'000, true, 30}, {1'000'000, true, 15}, {1'000'000, false, 60}}) {
        EXPECT_EQ(framesForRate(60, target, 20'000'000, maintainResolution), frames)
            << target << (maintainResolution ? " holding the resolution" : "");
    }
    EXPECT_EQ(framesForRate(0, 1'000'000, 20'000'000, true), 0) << "no maximum stays no maximum";
    // The frames let through share the whole target: at a quarter of the frames each
    // gets four times the bits, so the link still carries the target.
    EXPECT_EQ(std::tuple(encoderBitrate(5'000'000, 60, 15), encoderBitrate(5'000'000, 60, 60)), std::tuple(20'000'000, 5'000'000));
    EXPECT_EQ(encoderBitrate(5'000'000, 60, 0), 5'000'000) << "no cap, no change";
}

TEST(FrameRateCap, AdmitsAtMostTheMaximumInOneSecond) {
    // jitterNS: alternately late and early
    struct Case { const char* what; int sourceRate; std::int64_t jitterNS, maximum; int admittedAtLeast, admittedAtMost; };
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

// A display that keeps changing, drawn at `sourceRate` with draws alternately early and
// late by `jitter`, taken by a capture that wakes at each change once the pace allows.
TEST(CapturePace, TakesChangesAtOnceButAtMostOncePerInterval) {
    using namespace std::chrono;
    struct Case { const char* what; int sourceRate; nanoseconds jitter; int takenAtLeast, takenAtMost; nanoseconds worstWait; };
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

using RGB = std::array<int, 3>;
using YUV = std::array<int, 3>;

// A picture of BGRx pixels whose row padding is white, so a converter reading past a
// row's width shows.
struct Picture {
    int width, height, stride;
    std::vector<std::uint8_t> pixels;
    Picture(int w, int h, RGB fill) : width(w), height(h), stride(4 * w + 8), pixels(stride * h, 255) {
        for (int y = 0; y < h; ++y) for (int x = 0; x < w; ++x) set(x, y, fill);
    }
    void set(int x, int y, RGB c) {
        std::uint8_t* p = &pixels[y * stride + 4 * x];
        p[0] = static_cast<std::uint8_t>(c[2]), p[1] = static_cast<std::uint8_t>(c[1]), p[2] = static_cast<std::uint8_t>(c[0]);
    }
};

struct Converted {
    int chromaWidth;
    std::vector<std::uint8_t> y, u, v;
    YUV at(int x, int y0, int width) const { // luma at (x, y0), chroma of its block
        const auto c = (y0 / 2) * chromaWidth + x / 2;
        return {y[y0 * width + x], u[c], v[c]};
    }
};

Converted convert(const Picture& picture, YUVMatrix matrix) {
    const int cw = (picture.width + 1) / 2, ch = (picture.height + 1) / 2;
    Converted out{cw, std::vector<std::uint8_t>(picture.width * picture.height), std::vector<std::uint8_t>(cw * ch),
                  std::vector<std::uint8_t>(cw * ch)};
    convertToI420(picture.pixels.data(), picture.stride, picture.width, picture.height,
                  {out.y.data(), picture.width, out.u.data(), cw, out.v.data(), cw}, matrix);
    return out;
}

void expectNear(const YUV& got, const YUV& expected, const char* what) {
    for (int k = 0; k < 3; ++k) EXPECT_LE(std::abs(got[k] - expected[k]), 1) << what << ", component " << k;
}

TEST(YUVConversion, ChromaIsTheMeanOfItsBlockAndOddEdgesStandAlone) {
    // Block (0, 0) mixes red, green, blue and white: grey chroma, its own luma each.
    // Column 2 (odd width) is blue, row 2 (odd height) is red.
    Picture picture(3, 3, {0, 0, 0});
    picture.set(0, 0, {255, 0, 0}), picture.set(1, 0, {0, 255, 0});
    picture.set(0, 1, {0, 0, 255}), picture.set(1, 1, {255, 255, 255});
    picture.set(2, 0, {0, 0, 255}), picture.set(2, 1, {0, 0, 255});
    for (int x = 0; x < 3; ++x) picture.set(x, 2, {255, 0, 0});
    const auto out = convert(picture, YUVMatrix::bt709);
    expectNear(out.at(0, 0, 3), {63, 128, 128}, "mixed block, red pixel");
    expectNear(out.at(1, 1, 3), {235, 128, 128}, "mixed block, white pixel");
    expectNear(out.at(2, 1, 3), {32, 240, 118}, "lone last column");
    expectNear(out.at(0, 2, 3), {63, 102, 240}, "lone last row");
    expectNear(out.at(2, 2, 3), {63, 102, 240}, "lone corner");
}

} // namespace
} // namespace tavelin
