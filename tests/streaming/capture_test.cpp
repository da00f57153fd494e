#include <atomic>
#include <chrono>
#include <exception>
#include <optional>
#include <string>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/stream_error.hpp"
#include "streaming/capture_output.hpp"
#include "streaming/capture_start.hpp"
#include "tests/support/recording_sink.hpp"
#include "tests/support/simulated_devices.hpp"
#include "tests/support/simulated_platform.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using Time = std::chrono::steady_clock::time_point;
using Sink = support::RecordingSink<>;

const Time t0 = Time(1000s);

std::int64_t ns(Time time) { return std::chrono::nanoseconds(time.time_since_epoch()).count(); }
CapturedFrame frame(Time at, std::int64_t width = 64, std::int64_t height = 32) {
    return {std::make_shared<PixelBuffer>(PixelBuffer{width, height, width * 4, nullptr}), at, true};
}

class CaptureOutputTest : public ::testing::Test {
protected:
    std::shared_ptr<Sink> sink = std::make_shared<Sink>();
    std::atomic<Time> now{t0};
    std::shared_ptr<CaptureOutput> output = CaptureOutput::create(sink, Timings{}, [this] { return now.load(); });

    std::int64_t metric(const char* key) { return output->metrics().at(key).get<std::int64_t>(); }
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
    EXPECT_EQ(delivered[0].buffer, first.buffer);
    EXPECT_EQ(delivered[1].buffer, third.buffer);
    EXPECT_EQ(delivered[1].timestampNS, ns(t0 + 2ms)) << "the waiting frame, not a refresh of it";
    EXPECT_EQ(delivered[1].rotation, 0);
    for (const auto& [key, value] : {std::pair{"capturedFrames", 3}, {"replacedCaptureFrames", 1},
                                     {"staleCaptureFrames", 0}, {"captureWidth", 128}, {"captureHeight", 64}}) {
        EXPECT_EQ(metric(key), value) << key;
    }
    EXPECT_DOUBLE_EQ(output->metrics().at("lastCaptureTime").get<double>(), 1000.002);
}

// What reaches the sink, one delivery at a time. Each step sets the clock, then captures
// a picture taken at `taken` (the i-th is i pixels wide), sends an idle frame, or asks
// for a static refresh. Sent: the picture's number and its time since t0 in ns.
TEST_F(CaptureOutputTest, WhatIsSentAndWhen) {
    enum Kind { picture, idle, refresh, forcedRefresh };
    struct Step {
        Kind kind;
        milliseconds now, taken = 0ms;
    };
    using Sent = std::vector<std::pair<std::int64_t, std::int64_t>>;
    struct Case {
        const char* name;
        std::vector<Step> steps;
        Sent sent;
        int stale;
        double lastAgeMS = 0;
    } const cases[] = {
        // The encoder refuses a timestamp that does not move forward.
        {"a repeated and an earlier time move just past the last",
         {{picture, 0ms}, {picture, 0ms}, {picture, 0ms, -5ms}, {picture, 1ms, 1ms}},
         {{1, 0}, {2, 1}, {3, 2}, {4, 1'000'000}}, 0},
        // Exactly at the limit is still in time.
        {"older than the limit", {{picture, 150ms}, {picture, 150ms, 50ms}}, {{2, 50'000'000}}, 1, 100},
        // The next capture carries the refresh's time and moves just past it.
        {"refresh after a quiet second", {{picture, 0ms}, {refresh, 1500ms}, {picture, 1500ms, 1500ms}},
         {{1, 0}, {1, 1'500'000'000}, {2, 1'500'000'001}}, 0},
        {"refresh not due", {{picture, 0ms}, {refresh, 500ms}, {picture, 500ms, 500ms}}, {{1, 0}, {2, 500'000'000}}, 0},
        {"forced refresh", {{picture, 0ms}, {forcedRefresh, 500ms}, {picture, 500ms, 500ms}},
         {{1, 0}, {1, 500'000'000}, {2, 500'000'001}}, 0},
        {"nothing before a picture", {{forcedRefresh, 0ms}, {idle, 0ms}, {forcedRefresh, 0ms}}, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sink = std::make_shared<Sink>();
        output = CaptureOutput::create(sink, Timings{}, [this] { return now.load(); });
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
        EXPECT_EQ(metric("capturedFrames"), pictures);
        EXPECT_EQ(metric("staleCaptureFrames"), c.stale);
        EXPECT_NEAR(output->metrics().at("captureAgeMS").get<double>(), c.lastAgeMS, 0.001);
    }
}

// Frames reaching the output and stream errors reaching the engine are checked through
// the session's tests.
class CaptureStartTest : public ::testing::Test {
protected:
    static constexpr DisplayID shared = 100;

    CaptureStartTest() {
        platform.displays[shared] = SimulatedPlatform::Display{};
        capture.displays = {{1, 2560, 1440}, {shared, 1920, 1200}};
    }
    void start(DisplayConfiguration configuration = {1920, 1200, 60, 20, false}, bool showsCursor = true) {
        Timings timings;
        timings.displayLookupInterval = 1ms;
        started.reset();
        asio::co_spawn(engine, startCapture(capture, platform, {shared, configuration, showsCursor}, sink, {}, timings),
                       [this](std::exception_ptr failure, StartedCapture result) {
                           error = failure;
                           if (!failure) started = std::move(result);
                       });
        engine.run();
        engine.restart();
    }
    void rethrow() const { std::rethrow_exception(error); }

    asio::io_context engine;
    SimulatedPlatform platform;
    SimulatedCapture capture;
    std::shared_ptr<Sink> sink = std::make_shared<Sink>();
    std::optional<StartedCapture> started;
    std::exception_ptr error;
};

TEST_F(CaptureStartTest, WaitsForTheDisplayToBeListed) {
    struct Case {
        int hiddenLookups;
        int lookups;
        bool starts;
    };
    for (const auto& c : {Case{0, 1, true}, Case{29, 30, true}, Case{SimulatedPlatform::forever, 30, false}}) {
        SCOPED_TRACE(c.hiddenLookups);
        capture.hiddenLookups = c.hiddenLookups;
        capture.lookups = 0;
        start();
        EXPECT_EQ(capture.lookups, c.lookups);
        EXPECT_EQ(started.has_value(), c.starts);
        if (!c.starts) {
            EXPECT_THAT([&] { rethrow(); }, ::testing::ThrowsMessage<StreamError>(::testing::StrEq(
                                                "The extra display is not available to capture. Try starting again.")));
        }
    }
}

TEST_F(CaptureStartTest, CapturesTheSharedDisplayAtTheConfiguredSize) {
    platform.displays[shared].current = DisplayMode{7, 5120, 3200, 2560, 1600, 74.95};
    ::testing::internal::CaptureStderr();
    start({2560, 1600, 75, 20, true}, false);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Tavelin desktop: 2560 × 1600 logical, 5120 × 3200 pixels at 75 Hz\n");
    ASSERT_TRUE(started);
    ASSERT_EQ(capture.streams.size(), 1u);
    const auto& stream = *capture.streams.front();
    EXPECT_EQ(stream.display.id, shared);
    const CaptureConfiguration expected{2560, 1600, 75, 3, false};
    EXPECT_EQ(stream.configuration, expected);
    EXPECT_EQ(started->configuration, expected);
}

TEST_F(CaptureStartTest, AMirroringDisplayCapturesItsSourceFittedIntoTheMode) {
    platform.displays[shared].master = 1;
    capture.displays = {{1, 2560, 1440}}; // the mirroring display itself is not listed
    start();
    ASSERT_TRUE(started);
    const auto& stream = *capture.streams.front();
    EXPECT_EQ(stream.display.id, 1u);
    EXPECT_EQ(stream.configuration, (CaptureConfiguration{1920, 1080, 60, 3, true}));
}

TEST_F(CaptureStartTest, AStartErrorPassesThroughUnchanged) {
    capture.failStart = true;
    start();
    EXPECT_FALSE(started);
    try {
        rethrow();
    } catch (const std::system_error& failure) {
        EXPECT_EQ(failure.code(), std::errc::operation_not_permitted);
    }
}

} // namespace
} // namespace tavelin
