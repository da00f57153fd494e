#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>

#include <asio/io_context.hpp>

#include "core/stream_error.hpp"
#include "platform/webrtc.hpp"
#include "streaming/live_session.hpp"
#include "tests/support/recording_sink.hpp"
#include "tests/support/simulated_devices.hpp"
#include "tests/support/simulated_platform.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;
using State = PeerConnectionState;
using Texts = std::vector<std::string>;

constexpr const char* remoteMove = R"({"type":"move","x":0.5,"y":0.5})";
constexpr const char* leftDown = R"({"type":"down","x":0.5,"y":0.5,"button":0})";
constexpr const char* notSharing = "The host computer is not sharing a display.";
constexpr const char* live = "Receiver connected";
constexpr const char* cut = "Receiver connection interrupted";
constexpr const char* waiting = "Waiting for receiver";
constexpr const char* alreadyConnected = "A receiver is already connected. Disconnect it on the host computer first.";

// A WebRTC stack whose peers, gathering, states, channels and statistics a test scripts;
// callbacks are raised on the calling thread, which is the test's engine.
struct ScriptedChannel final : PeerDataChannel {
    explicit ScriptedChannel(std::string name) : name(std::move(name)) {}
    std::string label() const override { return name; }
    bool isOpen() const override { return open; }
    void close() override { ++closes, open = false; }
    void send(std::string text, bool binary = false) { if (onMessage) onMessage(std::move(text), binary); }
    void leaveOpenState() { open = false; if (onStateChange) onStateChange(false); }

    std::string name;
    bool open = true;
    int closes = 0;
};

struct ScriptedPeer final : WebRTCPeer {
    std::shared_ptr<VideoSink> videoSink() override { return sink; }
    Task<> setRemoteOffer(std::string) override { co_return; }
    Task<> createAnswer() override { answered = true; co_return; }
    void setEncoderParameters(const EncoderParameters& parameters) override { encoder.push_back(parameters); }
    bool iceGatheringComplete() override { return answered && ++gatheringPolls > pollsUntilGathered; }
    std::optional<std::string> localDescription() override { return answered ? std::optional("v=0 answer") : std::nullopt; }
    PeerConnectionState connectionState() override { return state; }
    bool reportsReceivers() const override { return reporting; }
    Task<nlohmann::json> statistics() override { co_return nlohmann::json::object(); }
    void close() override { ++closes, state = PeerConnectionState::closed; }

    void changeState(PeerConnectionState next) { state = next; if (onConnectionState) onConnectionState(next); }
    std::shared_ptr<ScriptedChannel> openChannel(std::string label) {
        auto channel = std::make_shared<ScriptedChannel>(std::move(label));
        if (onDataChannel) onDataChannel(channel);
        return channel;
    }

    std::shared_ptr<support::RecordingSink<>> sink = std::make_shared<support::RecordingSink<>>();
    int pollsUntilGathered = 0; // gathering completes after this many polls (a huge value: never)

    bool answered = false, reporting = false;
    int gatheringPolls = 0, closes = 0;
    std::vector<EncoderParameters> encoder;
    PeerConnectionState state = PeerConnectionState::fresh;
};

struct ScriptedWebRTC final : WebRTCFactory {
    std::vector<std::string> encoderNames() override { return {"x264enc"}; }
    std::shared_ptr<WebRTCPeer> createPeer(std::int64_t width, std::int64_t height, std::int64_t fps) override {
        if (refuse) return nullptr;
        requested = {width, height, fps};
        auto peer = peers.emplace_back(std::make_shared<ScriptedPeer>());
        peer->pollsUntilGathered = pollsUntilGathered;
        return peer;
    }
    ScriptedPeer& last() { return *peers.back(); }

    bool refuse = false;
    int pollsUntilGathered = 0;
    std::vector<std::int64_t> requested;
    std::vector<std::shared_ptr<ScriptedPeer>> peers;
};

struct FakePreview final : support::RecordingSink<Preview> {
    void show() override { ++shows, visible = true; }
    bool isVisible() const override { return visible; }
    void close() override { ++closes, visible = false; }

    bool visible = false;
    int shows = 0, closes = 0;
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
    LiveSession() { capture.displays = {{1, 2560, 1440}}; }

    std::shared_ptr<LiveStreamSession> make() {
        auto session = std::make_shared<LiveStreamSession>(
            engine.get_executor(), SessionPorts{platform, capture, input, input, platform, webrtc, previewFactory},
            timings);
        session->onFailure = [this](std::string message) { failures.push_back(std::move(message)); };
        session->onStatus = [this](std::string text) { statuses.push_back(std::move(text)); };
        return session;
    }
    // Sharing display 1 at 2560 × 1440, 60 Hz; the statuses of the start are dropped.
    std::shared_ptr<LiveStreamSession> started(bool showsCursor = true) {
        auto session = make();
        run(session->start(1, DisplayConfiguration(2560, 1440, 60, 20, false), showsCursor, true));
        statuses.clear();
        return session;
    }
    // Runs what is ready now; the scripted stack answers at once, so a task that is not
    // done after this is waiting for a timer.
    void settle() {
        while (engine.poll() > 0) continue;
        engine.restart();
    }
    void runFor(std::chrono::milliseconds time) { engine.run_for(time); engine.restart(); }
    // Starts the task and runs what is ready; its result is ready when it ended.
    template <class T>
    std::future<T> spawn(Task<T> task) {
        auto promise = std::make_shared<std::promise<T>>();
        auto result = promise->get_future();
        asio::co_spawn(engine, std::move(task), [promise](std::exception_ptr error, auto... value) {
            error ? promise->set_exception(error) : promise->set_value(std::move(value)...);
        });
        settle();
        return result;
    }
    template <class T>
    T run(Task<T> task) {
        auto result = spawn(std::move(task));
        if (result.wait_for(0s) != std::future_status::ready) throw std::logic_error("it waits for a timer");
        return result.get();
    }
    // The answer, started now; the gathering poll sleeps, so it may end only in a later runFor.
    std::future<nlohmann::json> answer(LiveStreamSession& session, std::string id = "A") {
        return spawn(session.answer("v=0 H264/90000", std::move(id)));
    }
    template <class T>
    static std::string outcome(std::future<T> result) {
        if (result.wait_for(0s) != std::future_status::ready) return "still running";
        try { result.get(); } catch (const std::exception& error) { return error.what(); }
        return "done";
    }
    std::shared_ptr<ScriptedChannel> connect(LiveStreamSession& session) {
        EXPECT_EQ(outcome(answer(session)), "done");
        webrtc.last().changeState(State::connected);
        auto channel = webrtc.last().openChannel("mouse");
        settle();
        return channel;
    }
    void send(ScriptedChannel& channel, const std::string& message, bool binary = false) { channel.send(message, binary); settle(); }

    asio::io_context engine;
    Timings timings{.iceGatheringPoll = 1ms, .displayLookupInterval = 1ms};
    ScriptedWebRTC webrtc;
    SimulatedPlatform platform;
    SimulatedCapture capture;
    SimulatedInput input;
    FakePreviews previews;
    PreviewFactory* previewFactory = &previews;
    Texts failures, statuses;
};

// The capture facility's own error passes through unchanged (a denied capture is told apart by its type).
TEST_F(LiveSession, StartWaitsForTheDisplayToBeListed) {
    constexpr const char* missing = "The extra display is not available to capture. Try starting again.";
    struct Case { int hiddenLookups; const char* outcome; };
    for (const auto& c : {Case{0, "done"}, Case{29, "done"}, Case{SimulatedPlatform::forever, missing}}) {
        capture.hiddenLookups = c.hiddenLookups;
        capture.lookups = 0;
        const auto session = make();
        auto starting = spawn(session->start(1, DisplayConfiguration(2560, 1440, 60, 20, false), true, true));
        runFor(1s);
        EXPECT_EQ(outcome(std::move(starting)), c.outcome) << c.hiddenLookups;
    }
    capture.hiddenLookups = 0;
    capture.failStart = true;
    EXPECT_THROW(started(), std::system_error);
}

// The capture has the configured size of the shared display, or of the one it mirrors
// fitted into the mode (the mirroring display itself is not listed); the peer is made at
// the capture's size, the answer carries the mode and the encoder gets the bitrate's and
// smooth motion's limits.
TEST_F(LiveSession, StartAndAnswerCarryTheModeAndTheEncoderLimits) {
    platform.displays[100].current = DisplayMode{7, 5120, 3200, 2560, 1600, 74.95};
    platform.displays[101].master = 1;
    capture.displays = {{1, 2560, 1440}, {100, 1920, 1200}};
    struct Case {
        DisplayID display; DisplayConfiguration configuration; bool showsCursor, smoothMotion;
        DisplayID captured; CaptureConfiguration capture; EncoderParameters encoder;
    } const cases[] = {
        {100, {2560, 1600, 75, 20, true}, false, true, 100, {2560, 1600, 75, 3, false},
         {5'000'000, 20'000'000, 75, 1, DegradationPreference::disabled}},
        {101, {1920, 1200, 60, 5, false}, true, false, 1, {1920, 1080, 60, 3, true},
         {5'000'000, 5'000'000, 60, 1, DegradationPreference::maintainResolution}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.display);
        const auto session = make();
        run(session->start(c.display, c.configuration, c.showsCursor, c.smoothMotion));
        ASSERT_EQ(capture.streams.size(), 1u);
        EXPECT_EQ(std::tuple(capture.streams.front()->display.id, capture.streams.front()->configuration),
                  std::tuple(c.captured, c.capture));

        auto reply = answer(*session);
        ASSERT_EQ(reply.wait_for(0s), std::future_status::ready);
        const auto& mode = c.configuration;
        EXPECT_EQ(reply.get(), (nlohmann::json{{"type", "answer"}, {"sdp", "v=0 answer"}, {"sessionID", "A"},
                                                  {"width", mode.width()}, {"height", mode.height()},
                                                  {"targetFPS", mode.refreshRate()}, {"bitrateMbps", mode.bitrateMbps()}}));
        EXPECT_EQ(webrtc.requested, (std::vector{c.capture.width, c.capture.height, c.capture.refreshRate}));
        EXPECT_EQ(webrtc.last().encoder, (std::vector<EncoderParameters>{c.encoder, c.encoder}));
        EXPECT_EQ(statuses, (Texts{"Pairing receiver…", "Connecting receiver…"}));
        statuses.clear();
    }
}

// A refused offer takes the way out of a gathering that timed out, with its own sentence
// (the program test, on the real stack).
TEST_F(LiveSession, RefusedAnswersSayWhyAndLeaveNoConnection) {
    timings.iceGatheringPolls = 3;
    EXPECT_EQ(outcome(answer(*make())), notSharing);
    auto session = started();
    webrtc.refuse = true;
    EXPECT_EQ(outcome(answer(*session)), "Could not create a video connection.");
    EXPECT_TRUE(statuses.empty()) << "nothing was connected, so nothing was dropped";

    webrtc.refuse = false;
    webrtc.pollsUntilGathered = 1'000'000;
    auto timedOut = answer(*session);
    runFor(20ms);
    EXPECT_EQ(outcome(std::move(timedOut)), "Local network discovery timed out. Check network permissions and try again.");
    EXPECT_EQ(webrtc.last().closes, 1);
    EXPECT_EQ(statuses, (Texts{"Pairing receiver…", waiting}));

    auto pending = answer(*session, "A");
    EXPECT_EQ(outcome(answer(*session, "B")), alreadyConnected) << "a second offer while the first is answered";
    session->disconnect("B");
    EXPECT_EQ(webrtc.last().closes, 0) << "another identifier changes nothing";
    session->disconnect("A");
    runFor(5ms);
    EXPECT_EQ(outcome(std::move(pending)), "The connection was cancelled.");
    EXPECT_EQ(webrtc.last().closes, 1);

    webrtc.pollsUntilGathered = 0;
    connect(*session);
    EXPECT_EQ(outcome(answer(*session, "B")), alreadyConnected) << "a second offer while the first streams";
    EXPECT_EQ(webrtc.last().closes, 0) << "the stream refused a second offer goes on";
    run(session->stop());
    EXPECT_EQ(outcome(answer(*session)), notSharing);
}

// What the session does as the connection's state moves and as the receiver reports. A
// receiver that reported and then fell silent is gone though ICE still says connected
// (its browser was killed), as is one that never reported on a stack that reports; on a
// stack that never reports, a receiver is judged by its state alone.
TEST_F(LiveSession, ConnectionStatesAndReports) {
    timings.disconnectedGrace = 5ms;
    timings.connectionWatchdog = 5ms;
    timings.receiverSilence = 40ms;
    // reports: one every 10 ms from the start; -1: none, on a stack that reports
    struct Case { const char* name; std::vector<State> states; bool recoverWithinGrace; int reports; bool kept; Texts statuses; }
    const cases[] = {
        {"connected", {State::connected}, false, 0, true, {live}},
        {"reporting", {State::connected}, false, 12, true, {live}},
        {"reported, then silent", {State::connected}, false, 1, false, {live, waiting}},
        {"silent from the start on a stack that reports", {State::connected}, false, -1, false, {live, waiting}},
        {"failed", {State::connected, State::failed}, false, 0, false, {live, waiting}},
        {"closed", {State::closed}, false, 0, false, {waiting}},
        {"dropped for good", {State::connected, State::disconnected}, false, 0, false, {live, cut, waiting}},
        {"dropped and back", {State::connected, State::disconnected}, true, 0, true, {live, cut, live}},
        // Never connecting within the watchdog's time drops the receiver.
        {"never connected", {State::connecting}, false, 0, false, {waiting}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto session = started();
        answer(*session);
        statuses.clear();
        auto& peer = webrtc.last();
        peer.reporting = c.reports < 0;
        for (const State state : c.states) peer.changeState(state);
        settle();
        if (c.recoverWithinGrace) peer.changeState(State::connected);
        for (int tick = 0; tick < 12; ++tick) {
            if (tick < c.reports) peer.onReceiverReport();
            runFor(10ms);
        }
        EXPECT_EQ(std::tuple(peer.closes, statuses), std::tuple(c.kept ? 0 : 1, c.statuses));
    }
}

TEST_F(LiveSession, MouseMessagesReachTheDesktopOnlyWhenAllowed) {
    auto session = started();
    answer(*session);
    auto& peer = webrtc.last();
    const auto other = peer.openChannel("chat"), mouse = peer.openChannel("mouse"), second = peer.openChannel("mouse");
    send(*mouse, leftDown);
    EXPECT_EQ((std::vector{other->closes, mouse->closes, second->closes}), (std::vector{1, 0, 1})) << "the first mouse";
    EXPECT_TRUE(input.events.empty()) << "nothing reaches the desktop before the peer is connected";
    session->disconnect({});

    const auto padded = [](std::string packet, std::size_t size) { return packet.insert(1, size - packet.size(), ' '); };
    struct Case { const char* name; std::string message; bool binary; bool handedOn; } const cases[] = {
        // A longer one the packet decoder refuses too (tests/core).
        {"1024 bytes", padded(leftDown, 1024), false, true},
        {"binary", leftDown, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto channel = connect(*session);
        input.events.clear();
        send(*channel, c.message, c.binary);
        EXPECT_EQ(input.events.size(), c.handedOn ? 1u : 0u);
        // Leaving the open state lets go of what is held.
        channel->leaveOpenState();
        settle();
        EXPECT_EQ(input.events.size(), c.handedOn ? 2u : 0u);
        session->disconnect({});
    }
}

TEST_F(LiveSession, CaptureErrorsReachTheOwnerOnTheEngineAndNothingAfterStop) {
    auto session = started();
    const auto mouse = connect(*session);
    auto& peer = webrtc.last();
    send(*mouse, R"({"type":"down","x":0.1,"y":0.1,"button":2})");
    input.events.clear();
    statuses.clear();
    const auto onError = capture.streams.front()->onError;
    onError("The display went away.");
    EXPECT_TRUE(failures.empty()) << "only on the engine";
    settle();
    EXPECT_EQ(failures, Texts{"The display went away."});
    const auto raiseState = peer.onConnectionState;
    run(session->stop());

    ASSERT_EQ(input.events.size(), 1u) << "the held button is released";
    EXPECT_EQ(std::tuple(input.events.front().type, capture.streams.size(), input.watchers.size(), peer.closes),
              std::tuple(MouseEventType::rightUp, 0u, 0u, 1));
    if (raiseState) raiseState(State::connected);
    mouse->send(remoteMove);
    onError("late");
    settle();
    EXPECT_TRUE(statuses.empty()) << "no \"Waiting for receiver\" after stop";
    EXPECT_EQ(input.events.size(), 1u);
    EXPECT_EQ(failures.size(), 1u);
}

// Who moved the pointer last decides whether the host pointer is in the picture; the
// capture is reconfigured only when that decision changes.
TEST_F(LiveSession, PointerInPictureFollowsWhoMovedItLast) {
    enum Step { remote, local, injectedSeenAgain };
    struct Case { const char* name; bool showsCursor; std::vector<Step> steps; bool shown; int updates; } const cases[] = {
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
        EXPECT_EQ(std::tuple(stream.configuration.showsCursor, session->capturedCursor(), stream.updates),
                  std::tuple(c.shown, c.shown, c.updates));
    }
}

TEST_F(LiveSession, PreviewOpensClosesAndComesBackWithTheLastPicture) {
    previewFactory = nullptr; // no window system
    EXPECT_THAT([&] { started()->togglePreview(); },
                ::testing::ThrowsMessage<StreamError>(::testing::StrEq("Video preview is unavailable on this computer.")));
    previewFactory = &previews;
    auto session = started();
    answer(*session);
    session->togglePreview();
    ASSERT_EQ(previews.made.size(), 1u);
    const auto first = previews.made.front();
    EXPECT_EQ(previews.sizes.front(), (std::pair<std::int64_t, std::int64_t>{2560, 1440})) << "the capture's ratio";
    // One picture from the capture thread, stamped now so that it is not stale.
    capture.streams.front()->onFrame(
        {std::make_shared<PixelBuffer>(PixelBuffer{64, 36, 256, nullptr}), std::chrono::steady_clock::now(), true});
    EXPECT_EQ(first->waitFor(1).front().buffer->width, 64);
    EXPECT_EQ(webrtc.last().sink->frames().size(), 1u) << "the encoder gets each frame before the preview";

    first->visible = false; // the title-bar button only hides it
    session->togglePreview();
    EXPECT_EQ(previews.made.size(), 1u) << "the same window";
    EXPECT_EQ(first->shows, 2);
    first->waitFor(2);

    session->togglePreview();
    EXPECT_EQ(first->closes, 1);
    // The next preview shows the last picture at once, though the screen is static; had
    // the first stayed attached it would have got that picture too, and before (one
    // delivery thread, in order).
    session->togglePreview();
    ASSERT_EQ(previews.made.size(), 2u);
    previews.made.back()->waitFor(1);
    EXPECT_EQ(first->frames().size(), 2u);

    run(session->stop());
    EXPECT_EQ(previews.made.back()->closes, 1);
    session->togglePreview();
    EXPECT_EQ(previews.made.size(), 2u) << "a stopped session opens none";
}

} // namespace
} // namespace tavelin
