// The local preview as the session drives it, and the model's toggle, against the
// simulated capture and WebRTC stack.

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include "app/model.hpp"
#include "streaming/live_session.hpp"
#include "tests/streaming/recording_sink.hpp"
#include "tests/support/engine_runner.hpp"
#include "tests/support/scripted_sharing.hpp"
#include "tests/support/scripted_webrtc.hpp"
#include "tests/support/simulated_devices.hpp"
#include "tests/support/simulated_platform.hpp"

namespace tavelin {
namespace {

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

class PreviewSession : public ::testing::Test {
protected:
    void SetUp() override { capture.displays = {{1, 2560, 1440}}; }

    std::shared_ptr<LiveStreamSession> started(PreviewFactory* factory) {
        auto session = std::make_shared<LiveStreamSession>(
            engine.get_executor(), SessionPorts{platform, capture, input, input, platform, webrtc, factory});
        run(session->start(1, DisplayConfiguration(2560, 1440, 60, 20, false), true, true));
        return session;
    }
    // Runs what is ready now; the answer's watchdog stays asleep.
    void run(Task<> task) {
        asio::co_spawn(engine, std::move(task), [](std::exception_ptr failure) {
            if (failure) std::rethrow_exception(failure);
        });
        while (engine.poll() > 0) {
        }
        engine.restart();
    }
    // One picture from the capture thread, stamped now so that it is not stale.
    void capturePicture() {
        auto buffer = std::make_shared<PixelBuffer>(PixelBuffer{64, 36, 256, nullptr});
        capture.streams.front()->onFrame(CapturedFrame{buffer, std::chrono::steady_clock::now(), true});
    }

    asio::io_context engine;
    testing::ScriptedWebRTC webrtc;
    SimulatedPlatform platform;
    SimulatedCapture capture;
    SimulatedInput input;
    FakePreviews previews;
};

TEST_F(PreviewSession, WithoutAWindowSystemTheToggleFailsAndChangesNothing) {
    auto session = started(nullptr);
    try {
        session->togglePreview();
        ADD_FAILURE() << "no error";
    } catch (const StreamError& error) {
        EXPECT_EQ(error.message(), unavailable);
    }
    run(session->stop());
}

TEST_F(PreviewSession, ToggleOpensThenClosesAndDetachesTheWindow) {
    auto session = started(&previews);
    session->togglePreview();
    ASSERT_EQ(previews.made.size(), 1u);
    const auto first = previews.made.front();
    EXPECT_EQ(previews.sizes.front(), (std::pair<std::int64_t, std::int64_t>{2560, 1440})) << "the capture's ratio";
    EXPECT_EQ(first->shows, 1);
    capturePicture();
    first->frames->waitFor(1);

    session->togglePreview();
    EXPECT_EQ(first->closes, 1);

    // The next preview shows the last picture at once, though the screen is static; had
    // the first stayed attached it would have got that picture too, and before (one
    // delivery thread, in order).
    session->togglePreview();
    ASSERT_EQ(previews.made.size(), 2u);
    previews.made.back()->frames->waitFor(1);
    EXPECT_EQ(first->frames->frames().size(), 1u);
    run(session->stop());
}

TEST_F(PreviewSession, AWindowClosedByItsButtonComesBackRefreshed) {
    auto session = started(&previews);
    session->togglePreview();
    const auto preview = previews.made.front();
    capturePicture();
    preview->frames->waitFor(1);

    preview->visible = false; // the title-bar button only hides it
    session->togglePreview();
    EXPECT_EQ(previews.made.size(), 1u) << "the same window";
    EXPECT_EQ(preview->shows, 2);
    EXPECT_EQ(preview->closes, 0);
    preview->frames->waitFor(2);
    run(session->stop());
}

TEST_F(PreviewSession, TheEncoderAndThePreviewGetTheSameFrames) {
    auto session = started(&previews);
    run([](std::shared_ptr<LiveStreamSession> s) -> Task<> { co_await s->answer("v=0 H264/90000", "A"); }(session));
    session->togglePreview();
    capturePicture();
    const auto shown = previews.made.front()->frames->waitFor(1);
    EXPECT_EQ(webrtc.last().sink->frames, 1) << "delivered to the encoder before the preview";
    EXPECT_EQ(shown.front().buffer->width, 64);
    run(session->stop());
}

TEST_F(PreviewSession, StopClosesTheWindowAndALaterToggleOpensNone) {
    auto session = started(&previews);
    session->togglePreview();
    run(session->stop());
    EXPECT_EQ(previews.made.front()->closes, 1);
    session->togglePreview();
    EXPECT_EQ(previews.made.size(), 1u);
}

TEST(ModelPreview, FailureGoesToTheErrorAndNothingHappensWhenNotSharing) {
    asio::io_context context;
    SimulatedPlatform sim;
    MemorySettingsStore store;
    auto dependencies = sim.modelDependencies(context.get_executor(), store);
    dependencies.timings.serverReady = std::chrono::milliseconds(20);
    dependencies.makeSession = [] { return std::make_shared<testing::ScriptedSession>(); };
    dependencies.makeServer = [] { return std::make_unique<testing::ScriptedServer>(); };
    const auto model = AppModel::create(std::move(dependencies));

    model->togglePreview();
    EXPECT_EQ(model->error(), std::nullopt);

    support::runToEnd(context, *model, model->start());
    ASSERT_TRUE(model->isRunning());
    model->togglePreview(); // the scripted session has no preview of its own
    EXPECT_EQ(model->error(), std::optional<std::string>(unavailable));
    support::runToEnd(context, *model, model->stop());
}

} // namespace
} // namespace tavelin
