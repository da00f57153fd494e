#include <atomic>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "streaming/capture_output.hpp"
#include "tests/support/recording_sink.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;
using Time = std::chrono::steady_clock::time_point;
using Sink = support::RecordingSink<>;

const Time t0 = Time(1000s);

std::int64_t ns(Time time) { return std::chrono::nanoseconds(time.time_since_epoch()).count(); }
CapturedFrame frame(Time at, std::int64_t width = 64, std::int64_t height = 32) {
    return {std::make_shared<PixelBuffer>(PixelBuffer{width, height, width * 4, nullptr}), at, true};
}

Timings withoutRefinement() { return {.stillBeforeRefinement = std::chrono::hours(1)}; }

class CaptureOutputTest : public ::testing::Test {
protected:
    std::shared_ptr<Sink> sink = std::make_shared<Sink>();
    std::atomic<Time> now{t0};
    std::shared_ptr<CaptureOutput> output =
        CaptureOutput::create(sink, withoutRefinement(), [this] { return now.load(); });
};

// A refresh never replaces a waiting frame either.
TEST_F(CaptureOutputTest, FramesArrivingDuringADeliveryReplaceEachOtherAndOnlyTheNewestFollows) {
    sink->hold(true);
    const auto first = frame(t0), second = frame(t0 + 1ms), third = frame(t0 + 2ms, 128, 64);
    output->captured(first);
    sink->waitFor(1); // the first frame is inside the sink now
    output->captured(second);
    output->captured(third);
    output->refreshStaticFrame(true);
    sink->hold(false);
    output->waitForDelivery();

    const auto delivered = sink->frames();
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(std::tuple(delivered[0].buffer, delivered[1].buffer), std::tuple(first.buffer, third.buffer));
    EXPECT_EQ(delivered[1].timestampNS, ns(t0 + 2ms)) << "the waiting frame, not a refresh of it";
}

// What reaches the sink, one delivery at a time. Each step sets the clock, then captures
// a picture taken at `taken` (the i-th is i pixels wide), sends an idle frame, or asks
// for a static refresh. Sent: the picture's number and its time since t0 in ns; the age
// of the last picture is what the receiver page shows as "Capture age".
TEST_F(CaptureOutputTest, WhatIsSentAndWhen) {
    enum Kind { picture, idle, refresh, forcedRefresh };
    struct Step { Kind kind; std::chrono::milliseconds now, taken = 0ms; };
    using Sent = std::vector<std::pair<std::int64_t, std::int64_t>>;
    struct Case { const char* name; std::vector<Step> steps; Sent sent; double lastAgeMS = 0; } const cases[] = {
        // The encoder refuses a timestamp that does not move forward.
        {"a repeated and an earlier time move just past the last",
         {{picture, 0ms}, {picture, 0ms}, {picture, 0ms, -5ms}, {picture, 1ms, 1ms}},
         {{1, 0}, {2, 1}, {3, 2}, {4, 1'000'000}}},
        // Exactly at the limit is still in time.
        {"older than the limit", {{picture, 150ms}, {picture, 150ms, 50ms}}, {{2, 50'000'000}}, 100},
        // The next capture carries the refresh's time and moves just past it.
        {"refresh after a quiet second", {{picture, 0ms}, {refresh, 1500ms}, {picture, 1500ms, 1500ms}},
         {{1, 0}, {1, 1'500'000'000}, {2, 1'500'000'001}}},
        {"refresh not due", {{picture, 0ms}, {refresh, 500ms}, {picture, 500ms, 500ms}}, {{1, 0}, {2, 500'000'000}}},
        {"forced refresh", {{picture, 0ms}, {forcedRefresh, 500ms}, {picture, 500ms, 500ms}},
         {{1, 0}, {1, 500'000'000}, {2, 500'000'001}}},
        {"nothing before a picture", {{forcedRefresh, 0ms}, {idle, 0ms}, {forcedRefresh, 0ms}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sink = std::make_shared<Sink>();
        output = CaptureOutput::create(sink, withoutRefinement(), [this] { return now.load(); });
        int pictures = 0;
        for (const auto& step : c.steps) {
            now = t0 + step.now;
            if (step.kind == picture) output->captured(frame(t0 + step.taken, ++pictures));
            if (step.kind == idle) output->captured({frame(t0).buffer, t0, false});
            if (step.kind >= refresh) output->refreshStaticFrame(step.kind == forcedRefresh);
            output->waitForDelivery();
        }
        Sent sent;
        for (const auto& delivered : sink->frames()) {
            sent.emplace_back(delivered.buffer->width, delivered.timestampNS - ns(t0));
        }
        EXPECT_EQ(sent, c.sent);
        EXPECT_NEAR(output->metrics().at("captureAgeMS").get<double>(), c.lastAgeMS, 0.001);
    }
}

// A picture that stays still is sent again as refinement frames, once: a new picture
// puts them off and takes their place, a forced refresh (a new receiver) brings them back.
TEST_F(CaptureOutputTest, AStillPictureIsRefinedOnce) {
    output = CaptureOutput::create(sink, {.stillBeforeRefinement = 30ms, .refinementFrames = 3, .refinementSpacing = 200ms},
                                   [this] { return now.load(); });
    // Waits for `count` frames, at most 3 s, then a little longer for any that should not come.
    const auto settle = [&](std::size_t count) {
        for (int tries = 0; tries < 300 && sink->frames().size() < count; ++tries) std::this_thread::sleep_for(10ms);
        std::this_thread::sleep_for(250ms);
    };
    const auto first = frame(t0, 1), second = frame(t0, 2);
    output->captured(first);
    sink->waitFor(2); // the first refinement frame: the next one would follow 200 ms later
    output->captured(second);
    settle(6);
    output->refreshStaticFrame(false);
    output->refreshStaticFrame(true);
    settle(10);

    std::vector<std::pair<std::int64_t, bool>> sent;
    std::int64_t last = 0;
    for (const auto& delivered : sink->frames()) {
        sent.emplace_back(delivered.buffer->width, delivered.refinement);
        EXPECT_GT(delivered.timestampNS, last);
        last = delivered.timestampNS;
    }
    const std::vector<std::pair<std::int64_t, bool>> expected = {
        {1, false}, {1, true}, {2, false}, {2, true}, {2, true}, {2, true}, {2, false}, {2, true}, {2, true}, {2, true}};
    EXPECT_EQ(sent, expected);
}

} // namespace
} // namespace tavelin
