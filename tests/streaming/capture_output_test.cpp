#include "streaming/capture_output.hpp"

#include <atomic>
#include <chrono>

#include <gtest/gtest.h>

#include "tests/streaming/recording_sink.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;
using Time = std::chrono::steady_clock::time_point;

const Time t0 = Time(1000s);

class CaptureOutputTest : public ::testing::Test {
protected:
    std::shared_ptr<support::RecordingSink> sink = std::make_shared<support::RecordingSink>();
    std::atomic<Time> now{t0};
    std::shared_ptr<CaptureOutput> output = CaptureOutput::create(sink, Timings{}, [this] { return now.load(); });

    static CapturedFrame frame(Time at, std::int64_t width = 64, std::int64_t height = 32) {
        auto buffer = std::make_shared<PixelBuffer>(PixelBuffer{width, height, width * 4, nullptr});
        return {buffer, at, true};
    }
    static std::int64_t ns(Time time) { return std::chrono::nanoseconds(time.time_since_epoch()).count(); }
    std::int64_t metric(const char* key) { return output->metrics().at(key).get<std::int64_t>(); }
};

TEST_F(CaptureOutputTest, FramesArrivingDuringADeliveryReplaceEachOtherAndOnlyTheNewestFollows) {
    sink->holdDeliveries();
    const auto first = frame(t0), second = frame(t0 + 1ms), third = frame(t0 + 2ms, 128, 64);
    output->captured(first);
    sink->waitFor(1); // the first frame is inside the sink now
    output->captured(second);
    output->captured(third);
    sink->release();
    const auto delivered = sink->waitFor(2);
    output->waitForDelivery();

    ASSERT_EQ(sink->frames().size(), 2u);
    EXPECT_EQ(delivered[0].buffer, first.buffer);
    EXPECT_EQ(delivered[1].buffer, third.buffer);
    EXPECT_EQ(delivered[1].rotation, 0);
    const auto metrics = output->metrics();
    EXPECT_EQ(metrics.at("capturedFrames"), 3);
    EXPECT_EQ(metrics.at("replacedCaptureFrames"), 1);
    EXPECT_EQ(metrics.at("staleCaptureFrames"), 0);
    EXPECT_EQ(metrics.at("captureWidth"), 128);
    EXPECT_EQ(metrics.at("captureHeight"), 64);
    EXPECT_DOUBLE_EQ(metrics.at("lastCaptureTime").get<double>(), 1000.002);
}

TEST_F(CaptureOutputTest, DeliveredTimestampsStrictlyIncrease) {
    // The second frame repeats the first one's time, the third goes back in time.
    const Time times[] = {t0, t0, t0 - 5ms, t0 + 1ms};
    const std::int64_t expected[] = {ns(t0), ns(t0) + 1, ns(t0) + 2, ns(t0 + 1ms)};
    for (const auto time : times) {
        output->captured(frame(time));
        output->waitForDelivery();
    }
    const auto delivered = sink->frames();
    ASSERT_EQ(delivered.size(), 4u);
    for (std::size_t i = 0; i < delivered.size(); ++i) EXPECT_EQ(delivered[i].timestampNS, expected[i]) << i;
}

TEST_F(CaptureOutputTest, AFrameOlderThanTheLimitIsCountedAndNotSent) {
    now = t0 + 150ms;
    output->captured(frame(t0));
    output->waitForDelivery();
    EXPECT_TRUE(sink->frames().empty());
    EXPECT_EQ(metric("staleCaptureFrames"), 1);
    EXPECT_NEAR(output->metrics().at("captureAgeMS").get<double>(), 150.0, 0.001);

    // Exactly at the limit is still in time.
    output->captured(frame(t0 + 50ms));
    output->waitForDelivery();
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
        auto caseSink = std::make_shared<support::RecordingSink>();
        now = t0;
        auto caseOutput = CaptureOutput::create(caseSink, Timings{}, [this] { return now.load(); });
        const auto picture = frame(t0);
        caseOutput->captured(picture);
        caseOutput->waitForDelivery();
        now = t0 + c.quiet;
        caseOutput->refreshStaticFrame(c.force);
        caseOutput->waitForDelivery();
        const auto next = frame(now.load());
        caseOutput->captured(next);
        caseOutput->waitForDelivery();

        const auto delivered = caseSink->frames();
        ASSERT_EQ(delivered.size(), c.resent ? 3u : 2u);
        if (c.resent) {
            EXPECT_EQ(delivered[1].buffer, picture.buffer);
            EXPECT_EQ(delivered[1].timestampNS, ns(now.load()));
            // The next capture carries the same time and moves just past the refresh.
            EXPECT_EQ(delivered[2].timestampNS, ns(now.load()) + 1);
        }
        EXPECT_EQ(delivered.back().buffer, next.buffer);
        EXPECT_EQ(caseOutput->metrics().at("capturedFrames"), 2);
    }
}

TEST_F(CaptureOutputTest, ARefreshNeverReplacesAWaitingFrame) {
    sink->holdDeliveries();
    output->captured(frame(t0));
    sink->waitFor(1);
    const auto waiting = frame(t0 + 1ms);
    output->captured(waiting);
    output->refreshStaticFrame(true);
    sink->release();
    output->waitForDelivery();
    const auto delivered = sink->frames();
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[1].buffer, waiting.buffer);
    EXPECT_EQ(metric("replacedCaptureFrames"), 0);
}

TEST_F(CaptureOutputTest, NothingIsSentBeforeAPictureWasCaptured) {
    output->refreshStaticFrame(true);
    output->captured(CapturedFrame{nullptr, t0, false});           // idle
    output->captured(CapturedFrame{frame(t0).buffer, t0, false});  // idle with an old buffer
    output->refreshStaticFrame(true);
    output->waitForDelivery();
    EXPECT_TRUE(sink->frames().empty());
    EXPECT_EQ(metric("capturedFrames"), 0);
}

} // namespace
} // namespace tavelin
