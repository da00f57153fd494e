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
using Time = std::chrono::steady_clock::time_point;

const Time t0 = Time(1000s);

class CaptureOutputTest : public ::testing::Test {
protected:
    std::shared_ptr<support::RecordingSink<>> sink = std::make_shared<support::RecordingSink<>>();
    std::atomic<Time> now{t0};
    std::shared_ptr<CaptureOutput> output = CaptureOutput::create(sink, Timings{}, [this] { return now.load(); });

    static CapturedFrame frame(Time at, std::int64_t width = 64, std::int64_t height = 32) {
        return {std::make_shared<PixelBuffer>(PixelBuffer{width, height, width * 4, nullptr}), at, true};
    }
    static std::int64_t ns(Time time) { return std::chrono::nanoseconds(time.time_since_epoch()).count(); }
    std::int64_t metric(const char* key) { return output->metrics().at(key).get<std::int64_t>(); }
    void deliver(const CapturedFrame& captured) {
        output->captured(captured);
        output->waitForDelivery();
    }
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

TEST_F(CaptureOutputTest, DeliveredTimestampsStrictlyIncrease) {
    // The second frame repeats the first one's time, the third goes back in time.
    const Time times[] = {t0, t0, t0 - 5ms, t0 + 1ms};
    const std::int64_t expected[] = {ns(t0), ns(t0) + 1, ns(t0) + 2, ns(t0 + 1ms)};
    for (const auto time : times) deliver(frame(time));
    const auto delivered = sink->frames();
    ASSERT_EQ(delivered.size(), 4u);
    for (std::size_t i = 0; i < delivered.size(); ++i) EXPECT_EQ(delivered[i].timestampNS, expected[i]) << i;
}

TEST_F(CaptureOutputTest, AFrameOlderThanTheLimitIsCountedAndNotSent) {
    now = t0 + 150ms;
    deliver(frame(t0));
    EXPECT_TRUE(sink->frames().empty());
    EXPECT_EQ(metric("staleCaptureFrames"), 1);
    EXPECT_NEAR(output->metrics().at("captureAgeMS").get<double>(), 150.0, 0.001);

    deliver(frame(t0 + 50ms)); // exactly at the limit is still in time
    EXPECT_EQ(sink->frames().size(), 1u);
    EXPECT_EQ(metric("staleCaptureFrames"), 1);
}

TEST_F(CaptureOutputTest, StaticRefreshResendsTheLastPictureOnlyWhenDue) {
    struct Case {
        std::chrono::milliseconds quiet;
        bool force;
        bool resent;
    };
    for (const auto& c : {Case{1500ms, false, true}, Case{500ms, false, false}, Case{500ms, true, true}}) {
        SCOPED_TRACE(c.quiet.count());
        sink = std::make_shared<support::RecordingSink<>>();
        now = t0;
        output = CaptureOutput::create(sink, Timings{}, [this] { return now.load(); });
        const auto picture = frame(t0);
        deliver(picture);
        now = t0 + c.quiet;
        output->refreshStaticFrame(c.force);
        output->waitForDelivery();
        const auto next = frame(now.load());
        deliver(next);

        const auto delivered = sink->frames();
        ASSERT_EQ(delivered.size(), c.resent ? 3u : 2u);
        if (c.resent) {
            EXPECT_EQ(delivered[1].buffer, picture.buffer);
            EXPECT_EQ(delivered[1].timestampNS, ns(now.load()));
            // The next capture carries the same time and moves just past the refresh.
            EXPECT_EQ(delivered[2].timestampNS, ns(now.load()) + 1);
        }
        EXPECT_EQ(delivered.back().buffer, next.buffer);
        EXPECT_EQ(metric("capturedFrames"), 2);
    }
}

TEST_F(CaptureOutputTest, NothingIsSentBeforeAPictureWasCaptured) {
    output->refreshStaticFrame(true);
    output->captured(CapturedFrame{nullptr, t0, false});          // idle
    output->captured(CapturedFrame{frame(t0).buffer, t0, false}); // idle with an old buffer
    output->refreshStaticFrame(true);
    output->waitForDelivery();
    EXPECT_TRUE(sink->frames().empty());
    EXPECT_EQ(metric("capturedFrames"), 0);
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
    std::shared_ptr<support::RecordingSink<>> sink = std::make_shared<support::RecordingSink<>>();
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
