#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include "app/model.hpp"
#include "core/stream_error.hpp"
#include "streaming/live_session.hpp"
#include "tests/streaming/recording_sink.hpp"
#include "tests/support/engine_runner.hpp"
#include "tests/support/scripted_sharing.hpp"
#include "tests/support/scripted_webrtc.hpp"
#include "tests/support/simulated_devices.hpp"
#include "tests/support/simulated_platform.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;
using testing::ScriptedChannel;
using State = PeerConnectionState;

constexpr const char* remoteMove = R"({"type":"move","x":0.5,"y":0.5})";
constexpr const char* notSharing = "The host computer is not sharing a display.";
constexpr const char* alreadyConnected = "A receiver is already connected. Disconnect it on the host computer first.";
constexpr const char* cancelled = "The connection was cancelled.";
constexpr const char* unavailable = "Video preview is unavailable on this computer.";

struct FakePreview final : Preview {
    void adaptOutputFormat(std::int64_t, std::int64_t, std::int64_t) override {}
    void deliver(VideoFrame frame) override { frames->deliver(std::move(frame)); }
    void show() override {
        ++shows;
        visible = true;
    }
    bool isVisible() const override { return visible; }
    void close() override {
        ++closes;
        visible = false;
    }

    std::shared_ptr<support::RecordingSink> frames = std::make_shared<support::RecordingSink>();
    bool visible = false;
    int shows = 0;
    int closes = 0;
};

struct FakePreviews final : PreviewFactory {
    std::shared_ptr<Preview> create(std::int64_t width, std::int64_t height) override {
        sizes.push_back({width, height});
        return made.emplace_back(std::make_shared<FakePreview>());
    }
    std::vector<std::pair<std::int64_t, std::int64_t>> sizes;
    std::vector<std::shared_ptr<FakePreview>> made;
};

class LiveSession : public ::testing::Test {
protected:
    void SetUp() override { capture.displays = {{1, 2560, 1440}}; }

    std::shared_ptr<LiveStreamSession> make() {
        auto session = std::make_shared<LiveStreamSession>(engine.get_executor(),
                                                           SessionPorts{platform, capture, input, input, platform, webrtc, previewFactory},
                                                           timings);
        session->onFailure = [this](std::string message) { failures.push_back(std::move(message)); };
        session->onStatus = [this](std::string text) { statuses.push_back(std::move(text)); };
        return session;
    }
    std::shared_ptr<LiveStreamSession> started(bool showsCursor = true, std::int64_t bitrate = 20,
                                               bool smoothMotion = true) {
        auto session = make();
        run(session->start(1, DisplayConfiguration(2560, 1440, 60, bitrate, false), showsCursor, smoothMotion));
        statuses.clear();
        return session;
    }
    // Runs what is ready now; the scripted stack answers at once, so an answer that is
    // not done after this is waiting for a timer.
    void settle() {
        while (engine.poll() > 0) {
        }
        engine.restart();
    }
    void run(Task<> task) {
        std::exception_ptr failure;
        bool done = false;
        asio::co_spawn(engine, std::move(task), [&](std::exception_ptr error) {
            failure = error;
            done = true;
        });
        settle();
        ASSERT_TRUE(done);
        if (failure) std::rethrow_exception(failure);
    }
    // The answer's outcome: its reply, or the text of its error. Starts the answer and
    // runs the engine for at most `patience` (the gathering poll sleeps).
    struct Outcome {
        nlohmann::json reply;
        std::string error;
        bool done = false;
    };
    std::shared_ptr<Outcome> answer(LiveStreamSession& session, std::string id = "A") {
        auto outcome = std::make_shared<Outcome>();
        asio::co_spawn(engine, session.answer("v=0 H264/90000", std::move(id)),
                       [outcome](std::exception_ptr error, nlohmann::json reply) {
                           outcome->done = true;
                           outcome->reply = std::move(reply);
                           if (!error) return;
                           try {
                               std::rethrow_exception(error);
                           } catch (const std::exception& e) {
                               outcome->error = e.what();
                           }
                       });
        settle();
        return outcome;
    }
    void runFor(std::chrono::milliseconds time) {
        engine.run_for(time);
        engine.restart();
    }
    // A receiver connected with its mouse channel open.
    std::shared_ptr<ScriptedChannel> connect(LiveStreamSession& session) {
        EXPECT_TRUE(answer(session)->reply.contains("sdp"));
        webrtc.last().changeState(State::connected);
        auto channel = webrtc.last().openChannel("mouse");
        settle();
        return channel;
    }
    template <class T>
    T await(Task<T> task) {
        std::optional<T> result;
        asio::co_spawn(engine, std::move(task), [&](std::exception_ptr, T value) { result = std::move(value); });
        settle();
        return *result;
    }

    // One picture from the capture thread, stamped now so that it is not stale.
    void capturePicture() {
        auto buffer = std::make_shared<PixelBuffer>(PixelBuffer{64, 36, 256, nullptr});
        capture.streams.front()->onFrame(CapturedFrame{buffer, std::chrono::steady_clock::now(), true});
    }

    asio::io_context engine;
    Timings timings = [] {
        Timings shortened;
        shortened.iceGatheringPoll = 1ms;
        return shortened;
    }();
    testing::ScriptedWebRTC webrtc;
    SimulatedPlatform platform;
    SimulatedCapture capture;
    SimulatedInput input;
    FakePreviews previews;
    PreviewFactory* previewFactory = &previews;
    std::vector<std::string> failures;
    std::vector<std::string> statuses;
};

TEST_F(LiveSession, AnswerCarriesTheModeAndTheEncoderLimits) {
    struct Case {
        std::int64_t bitrate;
        bool smoothMotion;
        EncoderParameters expected;
    } const cases[] = {
        {20, true, {5'000'000, 20'000'000, 60, 1, DegradationPreference::disabled}},
        {5, false, {5'000'000, 5'000'000, 60, 1, DegradationPreference::maintainResolution}},
    };
    for (const auto& c : cases) {
        auto session = started(true, c.bitrate, c.smoothMotion);
        const auto outcome = answer(*session);
        ASSERT_TRUE(outcome->done);
        EXPECT_EQ(outcome->reply, (nlohmann::json{{"type", "answer"}, {"sdp", "v=0 answer"}, {"sessionID", "A"},
                                                  {"width", 2560}, {"height", 1440}, {"targetFPS", 60},
                                                  {"bitrateMbps", c.bitrate}}));
        EXPECT_EQ(webrtc.requested, (std::vector<std::int64_t>{2560, 1440, 60}));
        EXPECT_EQ(webrtc.last().encoder, (std::vector<EncoderParameters>{c.expected, c.expected}));
        EXPECT_EQ(statuses, (std::vector<std::string>{"Pairing receiver…", "Connecting receiver…"}));
        run(session->stop());
    }
}

TEST_F(LiveSession, RefusedAnswersSayWhyAndLeaveNoConnection) {
    auto idle = make();
    EXPECT_EQ(answer(*idle)->error, notSharing);

    auto session = started();
    webrtc.refuse = true;
    EXPECT_EQ(answer(*session)->error, "Could not create a video connection.");
    EXPECT_TRUE(statuses.empty()) << "nothing was connected, so nothing was dropped";

    webrtc.refuse = false;
    webrtc.pollsUntilGathered = 1'000'000;
    const auto pending = answer(*session, "A");
    EXPECT_EQ(answer(*session, "B")->error, alreadyConnected) << "a second offer while the first is answered";
    session->disconnect("B");
    EXPECT_EQ(webrtc.last().closes, 0) << "another identifier changes nothing";
    session->disconnect("A");
    runFor(5ms);
    EXPECT_EQ(pending->error, cancelled);
    EXPECT_EQ(webrtc.last().closes, 1);

    webrtc.pollsUntilGathered = 0;
    connect(*session);
    EXPECT_EQ(answer(*session, "C")->error, alreadyConnected) << "a connected receiver keeps the stream";
    run(session->stop());
    EXPECT_EQ(answer(*session)->error, notSharing);
}

TEST_F(LiveSession, AFailedAnswerClosesItsPeer) {
    timings.iceGatheringPolls = 3;
    struct Case {
        std::string refuseOffer;
        int pollsUntilGathered;
        std::string error;
        int polls;
    } const cases[] = {
        {"The receiver offered no H.264 video that this computer can send.", 0,
         "The receiver offered no H.264 video that this computer can send.", 0},
        // One look before each of three sleeps, one after the last, one final.
        {"", 1'000'000, "Local network discovery timed out. Check network permissions and try again.", 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        webrtc.refuseOffer = c.refuseOffer;
        webrtc.pollsUntilGathered = c.pollsUntilGathered;
        auto session = started();
        const auto outcome = answer(*session);
        runFor(20ms);
        EXPECT_EQ(outcome->error, c.error);
        EXPECT_EQ(webrtc.last().gatheringPolls, c.polls);
        EXPECT_EQ(webrtc.last().closes, 1);
        EXPECT_EQ(statuses, (std::vector<std::string>{"Pairing receiver…", "Waiting for receiver"}));
        run(session->stop());
    }
}

// What the session does as the connection's state moves.
TEST_F(LiveSession, ConnectionStates) {
    timings.disconnectedGrace = 5ms;
    timings.connectionWatchdog = 5ms;
    struct Case {
        const char* name;
        std::vector<State> states;
        bool recoverWithinGrace;
        bool kept;
        std::vector<std::string> statuses;
    } const cases[] = {
        {"connected", {State::connected}, false, true, {"Receiver connected"}},
        {"failed", {State::connected, State::failed}, false, false, {"Receiver connected", "Waiting for receiver"}},
        {"closed", {State::closed}, false, false, {"Waiting for receiver"}},
        {"dropped for good",
         {State::connected, State::disconnected},
         false,
         false,
         {"Receiver connected", "Receiver connection interrupted", "Waiting for receiver"}},
        {"dropped and back",
         {State::connected, State::disconnected},
         true,
         true,
         {"Receiver connected", "Receiver connection interrupted", "Receiver connected"}},
        // Never connecting within the watchdog's time drops the receiver.
        {"never connected", {State::connecting}, false, false, {"Waiting for receiver"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto session = started();
        answer(*session);
        statuses.clear();
        auto& peer = webrtc.last();
        for (const State state : c.states) peer.changeState(state);
        settle();
        if (c.recoverWithinGrace) peer.changeState(State::connected);
        runFor(20ms);
        EXPECT_EQ(peer.closes, c.kept ? 0 : 1);
        EXPECT_EQ(statuses, c.statuses);
        run(session->stop());
    }
}

TEST_F(LiveSession, OnlyTheFirstMouseChannelIsKeptAndMessagesAreChecked) {
    auto session = started();
    answer(*session);
    auto& peer = webrtc.last();
    const auto other = peer.openChannel("chat");
    const auto mouse = peer.openChannel("mouse");
    const auto second = peer.openChannel("mouse");
    settle();
    EXPECT_EQ(other->closes, 1);
    EXPECT_EQ(mouse->closes, 0);
    EXPECT_EQ(second->closes, 1);

    mouse->send(R"({"type":"down","x":0.5,"y":0.5,"button":0})");
    settle();
    EXPECT_TRUE(input.events.empty()) << "nothing reaches the desktop before the peer is connected";

    run(session->stop());
}

TEST_F(LiveSession, MouseMessagesReachTheDesktopOnlyWhenAllowed) {
    auto session = started();
    const auto down = std::string(R"({"type":"down","x":0.5,"y":0.5,"button":0})");
    const auto padded = [](std::string packet, std::size_t size) { return packet.insert(1, size - packet.size(), ' '); };
    struct Case {
        const char* name;
        std::string message;
        bool binary;
        bool handedOn;
    } const cases[] = {
        {"1024 bytes", padded(down, 1024), false, true},
        {"1025 bytes", padded(down, 1025), false, false},
        {"binary", down, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto mouse = connect(*session);
        input.events.clear();
        mouse->send(c.message, c.binary);
        settle();
        EXPECT_EQ(input.events.size(), c.handedOn ? 1u : 0u);
        // Leaving the open state lets go of what is held.
        mouse->leaveOpenState();
        settle();
        EXPECT_EQ(input.events.size(), c.handedOn ? 2u : 0u);
        session->disconnect({});
    }
    run(session->stop());
}

TEST_F(LiveSession, AfterStopLateCallbacksDoNothing) {
    auto session = started();
    const auto mouse = connect(*session);
    auto& peer = webrtc.last();
    mouse->send(R"({"type":"down","x":0.1,"y":0.1,"button":2})");
    settle();
    input.events.clear();
    statuses.clear();
    const auto onError = capture.streams.front()->onError;
    const auto raiseState = peer.onConnectionState;
    run(session->stop());

    ASSERT_EQ(input.events.size(), 1u) << "the held button is released";
    EXPECT_EQ(input.events.front().type, MouseEventType::rightUp);
    EXPECT_TRUE(capture.streams.empty());
    EXPECT_TRUE(input.watchers.empty());
    EXPECT_EQ(peer.closes, 1);
    if (raiseState) raiseState(State::connected);
    mouse->send(remoteMove);
    onError("late");
    settle();
    EXPECT_TRUE(statuses.empty()) << "no \"Waiting for receiver\" after stop";
    EXPECT_EQ(input.events.size(), 1u);
    EXPECT_TRUE(failures.empty());
}

TEST_F(LiveSession, StatisticsWithAndWithoutReceiver) {
    auto session = started();
    const auto idle = await(session->statistics());
    std::vector<std::string> keys;
    for (const auto& [key, value] : idle.items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"captureAgeMS", "captureHeight", "captureWidth", "capturedCursorVisible",
                                              "capturedFrames", "connectionState", "isNegotiating", "lastCaptureTime",
                                              "pointerOwner", "replacedCaptureFrames", "staleCaptureFrames"}));
    EXPECT_EQ(idle["connectionState"], -1);
    EXPECT_EQ(idle["isNegotiating"], false);
    EXPECT_EQ(idle["pointerOwner"], "Host");

    const auto mouse = connect(*session);
    webrtc.last().outbound = {{"framesEncoded", 12}, {"encoderImplementation", "x264enc"}, {"ssrc", 7}};
    mouse->send(remoteMove);
    settle();
    const auto live = await(session->statistics());
    EXPECT_EQ(live["connectionState"], 2);
    EXPECT_EQ(live["framesEncoded"], 12);
    EXPECT_EQ(live["encoderImplementation"], "x264enc");
    EXPECT_FALSE(live.contains("ssrc")) << "only the outbound video keys are copied";
    EXPECT_EQ(live["pointerOwner"], "Receiver");
    EXPECT_EQ(live["capturedCursorVisible"], false);
    run(session->stop());
}

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
    } const cases[] = {
        {"local input brings it back", true, {remote, local}, true, 2},
        // Our own injected event, seen again by the monitor, is not the user's mouse.
        {"injected event keeps it hidden", true, {remote, injectedSeenAgain}, false, 1},
        {"never shown when the user did not ask", false, {local, remote, local}, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto session = started(c.showsCursor);
        const auto mouse = connect(*session);
        auto& stream = *capture.streams.front();
        EXPECT_EQ(stream.configuration.showsCursor, c.showsCursor);
        for (const Step step : c.steps) {
            if (step == remote) mouse->send(remoteMove);
            if (step == local) input.pointerEvent(0);
            if (step == injectedSeenAgain) input.pointerEvent(CursorPolicy::remoteEventMarker);
            settle();
        }
        EXPECT_EQ(stream.configuration.showsCursor, c.shown);
        EXPECT_EQ(session->capturedCursor(), c.shown);
        EXPECT_EQ(stream.updates, c.updates);
        run(session->stop());
    }
}

TEST_F(LiveSession, CaptureErrorReachesTheOwner) {
    auto session = started(false);
    capture.streams.front()->onError("The display went away.");
    settle();
    EXPECT_EQ(failures, std::vector<std::string>{"The display went away."});
    run(session->stop());
}

TEST_F(LiveSession, PreviewOpensClosesAndComesBackWithTheLastPicture) {
    auto session = started();
    session->togglePreview();
    ASSERT_EQ(previews.made.size(), 1u);
    const auto first = previews.made.front();
    EXPECT_EQ(previews.sizes.front(), (std::pair<std::int64_t, std::int64_t>{2560, 1440})) << "the capture's ratio";
    capturePicture();
    first->frames->waitFor(1);

    first->visible = false; // the title-bar button only hides it
    session->togglePreview();
    EXPECT_EQ(previews.made.size(), 1u) << "the same window";
    EXPECT_EQ(first->shows, 2);
    first->frames->waitFor(2);

    session->togglePreview();
    EXPECT_EQ(first->closes, 1);
    // The next preview shows the last picture at once, though the screen is static; had
    // the first stayed attached it would have got that picture too, and before (one
    // delivery thread, in order).
    session->togglePreview();
    ASSERT_EQ(previews.made.size(), 2u);
    previews.made.back()->frames->waitFor(1);
    EXPECT_EQ(first->frames->frames().size(), 2u);

    run(session->stop());
    EXPECT_EQ(previews.made.back()->closes, 1);
    session->togglePreview();
    EXPECT_EQ(previews.made.size(), 2u) << "a stopped session opens none";
}

TEST_F(LiveSession, TheEncoderGetsEachFrameBeforeThePreview) {
    auto session = started();
    answer(*session);
    session->togglePreview();
    capturePicture();
    const auto shown = previews.made.front()->frames->waitFor(1);
    EXPECT_EQ(webrtc.last().sink->frames, 1);
    EXPECT_EQ(shown.front().buffer->width, 64);
    run(session->stop());
}

TEST_F(LiveSession, WithoutAWindowSystemThePreviewIsUnavailable) {
    previewFactory = nullptr;
    auto session = started();
    try {
        session->togglePreview();
        ADD_FAILURE() << "no error";
    } catch (const StreamError& error) {
        EXPECT_EQ(error.message(), unavailable);
    }
    run(session->stop());

    // The model shows the session's refusal as its error, and does nothing when not sharing.
    asio::io_context context;
    MemorySettingsStore store;
    auto dependencies = platform.modelDependencies(context.get_executor(), store);
    dependencies.timings.serverReady = 20ms;
    dependencies.makeSession = [] { return std::make_shared<testing::ScriptedSession>(); };
    dependencies.makeServer = [] { return std::make_unique<testing::ScriptedServer>(); };
    const auto model = AppModel::create(std::move(dependencies));
    model->togglePreview();
    EXPECT_EQ(model->error(), std::nullopt);
    support::runToEnd(context, *model, model->start());
    ASSERT_TRUE(model->isRunning());
    model->togglePreview();
    EXPECT_EQ(model->error(), std::optional<std::string>(unavailable));
    support::runToEnd(context, *model, model->stop());
}

} // namespace
} // namespace tavelin
