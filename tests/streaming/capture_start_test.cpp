#include "streaming/capture_start.hpp"

#include <exception>
#include <optional>
#include <string>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <gtest/gtest.h>

#include "core/stream_error.hpp"
#include "tests/streaming/recording_sink.hpp"
#include "tests/support/simulated_devices.hpp"
#include "tests/support/simulated_platform.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;

class CaptureStartTest : public ::testing::Test {
protected:
    static constexpr DisplayID shared = 100;

    asio::io_context engine;
    SimulatedPlatform platform;
    SimulatedCapture capture;
    std::shared_ptr<support::RecordingSink> sink = std::make_shared<support::RecordingSink>();
    std::vector<std::string> failures;
    std::optional<StartedCapture> started;
    std::exception_ptr error;

    CaptureStartTest() {
        platform.displays[shared] = SimulatedPlatform::Display{};
        capture.displays = {{1, 2560, 1440}, {shared, 1920, 1200}};
    }

    void start(DisplayConfiguration configuration = {1920, 1200, 60, 20, false}, bool showsCursor = true) {
        Timings timings;
        timings.displayLookupInterval = 1ms;
        asio::co_spawn(engine,
                       startCapture(capture, platform, {shared, configuration, showsCursor}, sink,
                                    [this](std::string message) { failures.push_back(std::move(message)); },
                                    timings),
                       [this](std::exception_ptr failure, StartedCapture result) {
                           error = failure;
                           if (!failure) started = std::move(result);
                       });
        engine.run();
        engine.restart();
    }
};

TEST_F(CaptureStartTest, WaitsForTheDisplayToBeListed) {
    struct Case {
        int hiddenLookups;
        int lookups;
        bool starts;
    };
    for (const auto& c : {Case{0, 1, true}, Case{9, 10, true}, Case{29, 30, true},
                          Case{SimulatedPlatform::forever, 30, false}}) {
        SCOPED_TRACE(c.hiddenLookups);
        capture.hiddenLookups = c.hiddenLookups;
        capture.lookups = 0;
        started.reset();
        start();
        EXPECT_EQ(capture.lookups, c.lookups);
        EXPECT_EQ(started.has_value(), c.starts);
        if (c.starts) continue;
        try {
            std::rethrow_exception(error);
        } catch (const StreamError& failure) {
            EXPECT_STREQ(failure.what(), "The extra display is not available to capture. Try starting again.");
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
    EXPECT_EQ(sink->format().width, 2560);
    EXPECT_EQ(sink->format().framesPerSecond, 75);
}

TEST_F(CaptureStartTest, AMirroringDisplayCapturesItsSourceFittedIntoTheMode) {
    platform.displays[shared].master = 1;
    capture.displays = {{1, 2560, 1440}}; // the mirroring display itself is not listed
    start({1920, 1200, 60, 20, false});
    ASSERT_TRUE(started);
    const auto& stream = *capture.streams.front();
    EXPECT_EQ(stream.display.id, 1u);
    EXPECT_EQ(stream.configuration.width, 1920);
    EXPECT_EQ(stream.configuration.height, 1080);
    EXPECT_EQ(sink->format().height, 1080);
}

TEST_F(CaptureStartTest, FramesReachTheOutputAndStreamErrorsReachTheEngine) {
    start();
    ASSERT_TRUE(started);
    auto& stream = *capture.streams.front();
    auto buffer = std::make_shared<PixelBuffer>(PixelBuffer{1920, 1200, 1920 * 4, nullptr});
    stream.onFrame({buffer, std::chrono::steady_clock::now(), true});
    started->output->waitForDelivery();
    ASSERT_EQ(sink->frames().size(), 1u);
    EXPECT_EQ(sink->frames().front().buffer, buffer);

    stream.onError("The connection to the display server was lost.");
    EXPECT_TRUE(failures.empty()); // only on the engine
    engine.run();
    EXPECT_EQ(failures, std::vector<std::string>{"The connection to the display server was lost."});
}

TEST_F(CaptureStartTest, AStartErrorPassesThroughUnchanged) {
    capture.failStart = true;
    start();
    EXPECT_FALSE(started);
    try {
        std::rethrow_exception(error);
    } catch (const std::system_error& failure) {
        EXPECT_EQ(failure.code(), std::errc::operation_not_permitted);
    }
}

} // namespace
} // namespace tavelin
