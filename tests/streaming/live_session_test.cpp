#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include "core/stream_error.hpp"
#include "streaming/live_session.hpp"
#include "tests/streaming/recording_sink.hpp"
#include "tests/support/case_name.hpp"
#include "tests/support/simulated_devices.hpp"
#include "tests/support/simulated_platform.hpp"

namespace tavelin {
namespace {

constexpr const char* remoteMove = R"({"type":"move","x":0.5,"y":0.5})";
constexpr std::int64_t localMarker = 0;

class LiveSession : public ::testing::Test {
protected:
    void SetUp() override { capture.displays = {{1, 2560, 1440}}; }

    std::shared_ptr<LiveStreamSession> started(bool showsCursor) {
        auto session = std::make_shared<LiveStreamSession>(
            engine.get_executor(), SessionPorts{platform, capture, input, input, platform},
            std::make_shared<support::RecordingSink>());
        session->onFailure = [this](std::string message) { failures.push_back(std::move(message)); };
        run(session->start(1, DisplayConfiguration(2560, 1440, 60, 20, false), showsCursor, true));
        return session;
    }
    void drain() {
        engine.run();
        engine.restart();
    }
    void run(Task<> task) {
        std::exception_ptr failure;
        asio::co_spawn(engine, std::move(task), [&](std::exception_ptr error) { failure = error; });
        drain();
        if (failure) std::rethrow_exception(failure);
    }
    template <class T>
    T await(Task<T> task) {
        std::optional<T> result;
        std::exception_ptr failure;
        asio::co_spawn(engine, std::move(task), [&](std::exception_ptr error, T value) {
            failure = error;
            result = std::move(value);
        });
        drain();
        if (failure) std::rethrow_exception(failure);
        return *result;
    }
    std::string answerError(LiveStreamSession& session) {
        try {
            await(session.answer("v=0", "a"));
        } catch (const StreamError& error) {
            return error.message();
        }
        return "(answered)";
    }

    asio::io_context engine;
    SimulatedPlatform platform;
    SimulatedCapture capture;
    SimulatedInput input;
    std::vector<std::string> failures;
};

// Who moved the pointer last decides whether the host pointer is in the picture; the
// capture is reconfigured only when that decision changes.
TEST_F(LiveSession, PointerInPictureFollowsWhoMovedItLast) {
    enum Step { remote, local, injectedSeenAgain };
    struct Case {
        const char* name;
        bool showsCursor;
        std::vector<Step> steps;
        bool shown;
        int updates;
    };
    const Case cases[] = {
        {"remote input hides it", true, {remote}, false, 1},
        {"local input brings it back", true, {remote, local}, true, 2},
        // Our own injected event, seen again by the monitor, is not the user's mouse.
        {"injected event keeps it hidden", true, {remote, injectedSeenAgain}, false, 1},
        {"repeated remote input reconfigures once", true, {remote, remote, remote}, false, 1},
        {"never shown when the user did not ask", false, {local, remote, local}, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto session = started(c.showsCursor);
        ASSERT_EQ(capture.streams.size(), 1u);
        auto& stream = *capture.streams.front();
        EXPECT_EQ(stream.configuration.showsCursor, c.showsCursor);
        for (const Step step : c.steps) {
            if (step == remote) session->mouseMessage(remoteMove);
            if (step == local) input.pointerEvent(localMarker);
            if (step == injectedSeenAgain) input.pointerEvent(CursorPolicy::remoteEventMarker);
            drain();
        }
        EXPECT_EQ(stream.configuration.showsCursor, c.shown);
        EXPECT_EQ(session->capturedCursor(), c.shown);
        EXPECT_EQ(stream.updates, c.updates);
        run(session->stop());
    }
}

TEST_F(LiveSession, StatisticsWithoutReceiver) {
    auto session = started(true);
    const auto snapshot = await(session->statistics());
    std::vector<std::string> keys;
    for (const auto& [key, value] : snapshot.items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"captureAgeMS", "captureHeight", "captureWidth", "capturedCursorVisible",
                                              "capturedFrames", "connectionState", "isNegotiating", "lastCaptureTime",
                                              "pointerOwner", "replacedCaptureFrames", "staleCaptureFrames"}));
    EXPECT_EQ(snapshot["connectionState"], -1);
    EXPECT_EQ(snapshot["isNegotiating"], false);
    EXPECT_EQ(snapshot["pointerOwner"], "Host");
    EXPECT_EQ(snapshot["capturedCursorVisible"], true);

    session->mouseMessage(remoteMove);
    const auto afterRemote = await(session->statistics());
    EXPECT_EQ(afterRemote["pointerOwner"], "Receiver");
    EXPECT_EQ(afterRemote["capturedCursorVisible"], false);
    run(session->stop());
}

TEST_F(LiveSession, StopReleasesEverythingAndEndsTheRun) {
    auto session = started(true);
    EXPECT_EQ(answerError(*session), "This build of Tavelin cannot stream video to a receiver yet.");

    session->mouseMessage(R"({"type":"down","x":0.1,"y":0.1,"button":2})");
    input.events.clear();
    auto& stream = *capture.streams.front();
    const auto onError = stream.onError;
    run(session->stop());

    ASSERT_EQ(input.events.size(), 1u) << "the held button is released";
    EXPECT_EQ(input.events.front().type, MouseEventType::rightUp);
    EXPECT_TRUE(capture.streams.empty());
    EXPECT_TRUE(input.watchers.empty());
    EXPECT_EQ(answerError(*session), "The host computer is not sharing a display.");

    // Input and capture errors that arrive after stop do nothing.
    session->mouseMessage(remoteMove);
    onError("late");
    drain();
    EXPECT_TRUE(input.events.size() == 1u && failures.empty());
}

TEST_F(LiveSession, CaptureErrorReachesTheOwner) {
    auto session = started(false);
    capture.streams.front()->onError("The display went away.");
    drain();
    EXPECT_EQ(failures, std::vector<std::string>{"The display went away."});
    run(session->stop());
}

TEST_F(LiveSession, AnswerBeforeStartIsRefused) {
    auto session = std::make_shared<LiveStreamSession>(engine.get_executor(),
                                                       SessionPorts{platform, capture, input, input, platform},
                                                       std::make_shared<support::RecordingSink>());
    EXPECT_EQ(answerError(*session), "The host computer is not sharing a display.");
}

} // namespace
} // namespace tavelin
