// The preview window on the embedded X server, opened and closed by a sharing session
// whose capture is simulated: the window shows the very picture the session sends.

#include <gtest/gtest.h>

#include <memory>

#include <asio/io_context.hpp>

#include <QGuiApplication>
#include <QQuickWindow>
#include <QScreen>
#include <QTest>

#include "streaming/live_session.hpp"
#include "tests/support/scripted_webrtc.hpp"
#include "tests/support/simulated_devices.hpp"
#include "tests/support/simulated_platform.hpp"
#include "ui/preview_window.hpp"
#include "tests/support/xcb_application.hpp"

namespace tavelin::ui {
namespace {

// A picture with a red left half and a blue right half, 4 bytes a pixel as B, G, R, X.
struct TwoColours {
    static constexpr int width = 1280, height = 720; // larger than the window: scaled down
    std::vector<std::uint8_t> bytes = [] {
        std::vector<std::uint8_t> pixels(width * height * 4);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                std::uint8_t* pixel = &pixels[(y * width + x) * 4];
                pixel[x < width / 2 ? 2 : 0] = 255;
            }
        }
        return pixels;
    }();
    std::shared_ptr<PixelBuffer> buffer =
        std::make_shared<PixelBuffer>(PixelBuffer{width, height, width * 4, bytes.data()});
};

// Records the previews the session asks for, made by the real factory.
struct Recording final : PreviewFactory {
    explicit Recording(PreviewFactory& real) : real(real) {}
    std::shared_ptr<Preview> create(std::int64_t width, std::int64_t height) override {
        return made.emplace_back(real.create(width, height));
    }
    PreviewFactory& real;
    std::vector<std::shared_ptr<Preview>> made;
};

// The window the session's open preview shows, once the GUI thread made and showed it.
QQuickWindow* shownWindow(const std::shared_ptr<Preview>& preview) {
    QQuickWindow* window = nullptr;
    const auto shown = [&] {
        window = static_cast<PreviewWindow&>(*preview).window();
        return window && window->isExposed();
    };
    return QTest::qWaitFor(shown, 5000) ? window : nullptr;
}

TEST(PreviewWindow, OpensWithThePictureSentAndClosesWithSharing) {
    EXPECT_FALSE(PreviewWindowFactory::createIfAvailable()) << "only a GUI application can show it";
    const auto application = support::xcbApplication();
    asio::io_context engine;
    const auto run = [&](Task<> task) {
        asio::co_spawn(engine, std::move(task), [](std::exception_ptr failure) {
            if (failure) std::rethrow_exception(failure);
        });
        while (engine.poll() > 0) {
        }
        engine.restart();
    };
    testing::ScriptedWebRTC webrtc;
    SimulatedPlatform platform;
    SimulatedCapture capture;
    capture.displays = {{1, 2560, 1440}};
    SimulatedInput input;
    auto factory = PreviewWindowFactory::createIfAvailable();
    ASSERT_TRUE(factory);
    Recording previews(*factory);
    const auto session = std::make_shared<LiveStreamSession>(
        engine.get_executor(), SessionPorts{platform, capture, input, input, platform, webrtc, &previews});
    run(session->start(1, DisplayConfiguration(2560, 1440, 60, 20, false), true, true));

    session->togglePreview();
    ASSERT_EQ(previews.made.size(), 1u);
    QQuickWindow* window = shownWindow(previews.made.back());
    ASSERT_TRUE(window);
    EXPECT_EQ(window->title(), "Display preview");
    EXPECT_EQ(window->size(), QSize(480, 270));

    const TwoColours picture;
    capture.streams.front()->onFrame(CapturedFrame{picture.buffer, std::chrono::steady_clock::now(), true});
    // 16:9 fits 480 × 270 exactly: red left, blue right.
    const auto showsPicture = [&] {
        const QImage seen = window->screen()->grabWindow(window->winId()).toImage();
        const QColor left = seen.pixelColor(120, 135), right = seen.pixelColor(360, 135);
        return left.red() > 200 && left.blue() < 50 && right.blue() > 200 && right.red() < 50;
    };
    EXPECT_TRUE(QTest::qWaitFor(showsPicture, 5000)) << "the window does not show the sent picture";

    // Its own close button only hides it; the next toggle brings the same window back.
    window->close();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !previews.made.back()->isVisible(); }, 5000));
    session->togglePreview();
    EXPECT_EQ(previews.made.size(), 1u);
    EXPECT_EQ(shownWindow(previews.made.back()), window);

    session->togglePreview();
    EXPECT_TRUE(QTest::qWaitFor([&] { return static_cast<PreviewWindow&>(*previews.made.back()).window() == nullptr; },
                                5000))
        << "the second toggle closes it";

    session->togglePreview();
    ASSERT_EQ(previews.made.size(), 2u);
    ASSERT_TRUE(shownWindow(previews.made.back()));
    run(session->stop());
    EXPECT_FALSE(previews.made.back()->isVisible());
    // The factory goes right after the stop, as at the end of the program: the window the
    // stop closed goes with it rather than staying behind.
    factory.reset();
    for (const QWindow* left : QGuiApplication::allWindows()) {
        EXPECT_NE(left->title(), "Display preview") << "stopping the share closes it";
    }
}

} // namespace
} // namespace tavelin::ui
