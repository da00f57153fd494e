// The interface's own windows on the embedded X server: the window state file, the motion
// test window and the preview window.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <ranges>
#include <set>

#include <asio/io_context.hpp>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMouseEvent>
#include <QQuickWindow>
#include <QRasterWindow>
#include <QScreen>
#include <QTest>

#include "platform/x11/x11_backend.hpp"
#include "ui/motion_test.hpp"
#include "ui/preview_window.hpp"
#include "ui/window_state_recorder.hpp"

namespace tavelin::ui {
namespace {

namespace fs = std::filesystem;

TEST(PreviewWindowFactory, NoneWithoutAGuiApplication) { EXPECT_FALSE(PreviewWindowFactory::createIfAvailable()); }

// One Qt application for the windows, on the test's X server (DISPLAY is set by the
// program's main before any test runs).
class Windows : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        qputenv("QT_QPA_PLATFORM", "xcb");
        static int argc = 1;
        static char name[] = "tavelin_window_test", *argv[] = {name, nullptr};
        application = std::make_unique<QGuiApplication>(argc, argv);
    }
    static void TearDownTestSuite() { application.reset(); }
    ~Windows() override { fs::remove_all(folder); }

    QJsonObject read() const {
        QFile file(QString::fromStdString(state.string()));
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        return QJsonDocument::fromJson(file.readAll()).object();
    }
    // Waits until the state file says what the window says.
    bool showsFrame(const QWindow& window) {
        return QTest::qWaitFor([&] {
            const auto json = read();
            return QRect(json["x"].toInt(), json["y"].toInt(), json["width"].toInt(), json["height"].toInt()) ==
                   window.frameGeometry();
        }, 5000);
    }

    static inline std::unique_ptr<QGuiApplication> application;
    const fs::path folder = fs::temp_directory_path() / ("tavelin-window-state-" + std::to_string(::getpid()));
    const fs::path state = folder / "state.json";
};

TEST_F(Windows, StateWrittenWhenShownMovedAndResizedWithExactlySevenKeys) {
    fs::create_directories(folder);
    QRasterWindow window;
    window.setGeometry(100, 120, 640, 500);
    WindowStateRecorder recorder(window, state, true);
    WindowStateRecorder unwritable(window, folder / "missing" / "state.json", true); // ignored
    EXPECT_FALSE(fs::exists(state)) << "nothing is written before the window is shown";

    window.show();
    ASSERT_TRUE(fs::exists(state));
    ASSERT_TRUE(showsFrame(window));
    auto json = read();
    for (const auto key : {"x", "y", "width", "height"}) json.remove(key);
    EXPECT_EQ(json, (QJsonObject{{"ignoresMouseEvents", false}, {"movableByBackground", true}, {"opaque", true}}));

    // Each record replaces the file by renaming a new one over it: whoever holds the
    // old file open still reads the old state whole.
    QFile old(QString::fromStdString(state.string()));
    ASSERT_TRUE(old.open(QIODevice::ReadOnly));
    const int oldX = read()["x"].toInt();
    window.setPosition(300, 200);
    ASSERT_TRUE(showsFrame(window));
    EXPECT_EQ(read()["x"].toInt(), 300);
    EXPECT_EQ(QJsonDocument::fromJson(old.readAll()).object()["x"].toInt(), oldX);

    window.resize(640, 700);
    ASSERT_TRUE(showsFrame(window));
    EXPECT_EQ(read()["height"].toInt(), 700);
    // Neither a temporary file nor the missing folder is left.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

struct Target final : QRasterWindow {
    int presses = 0;
    void mousePressEvent(QMouseEvent*) override { ++presses; }
    void paintEvent(QPaintEvent*) override {}
};

TEST_F(Windows, MotionTestCoversTheVirtualDisplayExactlyAndLetsClicksThrough) {
    asio::io_context engine;
    const auto backend = x11::X11Backend::connect(engine.get_executor());
    const auto display = backend->ports.virtualDisplays.create(1280, 720, 60, false, "Motion", "motion-test");
    const QRect output(1920, 0, 1280, 720); // where tests/x11 finds it
    const auto screen = [&] { return QGuiApplication::screenAt(output.center()); };
    ASSERT_TRUE(QTest::qWaitFor([&] { return screen() && screen()->geometry() == output; }, 5000)) << "Qt never saw it";

    Target below;
    below.setFlags(Qt::FramelessWindowHint | Qt::BypassWindowManagerHint);
    below.setGeometry(output.adjusted(100, 100, -100, -100));
    below.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&below));

    MotionTestWindow motion;
    motion.showAt(output);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(motion.window()));
    EXPECT_EQ(motion.window()->screen(), screen());

    // What the server shows, sampled in the top and bottom rows where only the picture can
    // be: the picture up to each edge of the output and not on the main display beside it
    // (at the origin, so its coordinates are the desktop's); and the bars, stacked at the
    // left edge at first, fanned out as they sweep, so that all eight are on the screen.
    const auto isPicture = [](QColor color) {
        bool picture = color.rgb() == MotionTestPicture::background().rgb();
        for (int i = 0; i < MotionTestPicture::bars; ++i) picture |= color.rgb() == MotionTestPicture::barColor(i).rgb();
        return picture;
    };
    const auto showsPicture = [&] {
        auto* const main = QGuiApplication::primaryScreen();
        const QImage seen = main->grabWindow(0, output.x() - 1, 0, output.width() + 2, output.height()).toImage();
        std::set<QRgb> row;
        for (int x = 1; x <= output.width(); ++x) row.insert(seen.pixelColor(x, 0).rgb());
        bool shown = row.contains(MotionTestPicture::background().rgb()); // the bars leave no trails
        for (const int y : {0, output.height() - 1}) {
            shown &= isPicture(seen.pixelColor(1, y)) && isPicture(seen.pixelColor(output.width(), y)) &&
                     !isPicture(seen.pixelColor(0, y));
        }
        return shown && std::ranges::all_of(std::views::iota(0, MotionTestPicture::bars), [&](int i) {
                   return row.contains(MotionTestPicture::barColor(i).rgb());
               });
    };
    EXPECT_TRUE(QTest::qWaitFor(showsPicture, 5000)) << "the picture misses an edge or stands still";

    const QPointF center = QRectF(output).center();
    for (const auto type : {MouseEventType::moved, MouseEventType::leftDown, MouseEventType::leftUp}) {
        ASSERT_TRUE(backend->ports.input.post({type, 0, center.x(), center.y(), {}, 1}));
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return below.presses == 1; }, 5000)) << "the click was swallowed";

    motion.close();
    EXPECT_FALSE(motion.isVisible());
    motion.showAt(output);
    EXPECT_TRUE(motion.isVisible()) << "shown again after a close";
    motion.close();
}

QQuickWindow* shownWindow(const PreviewWindow& preview) {
    const auto shown = [&] { return preview.window() && preview.window()->isExposed(); };
    return QTest::qWaitFor(shown, 5000) ? preview.window() : nullptr;
}

TEST_F(Windows, PreviewShowsThePictureSentHidesOnItsOwnCloseAndGoesWithTheFactory) {
    auto factory = PreviewWindowFactory::createIfAvailable();
    ASSERT_TRUE(factory);
    const auto made = factory->create(2560, 1440);
    auto& preview = static_cast<PreviewWindow&>(*made);
    preview.show();
    QQuickWindow* window = shownWindow(preview);
    ASSERT_TRUE(window);
    EXPECT_EQ(std::tuple(window->title(), window->size()), std::tuple("Display preview", QSize(480, 270)));

    // A red left half and a blue right half, B, G, R, X; larger than the window, so scaled
    // down, and 16:9 as the window: red left, blue right there too.
    constexpr int width = 1280, height = 720;
    std::vector<std::uint8_t> bytes(width * height * 4);
    for (std::size_t pixel = 0; pixel < bytes.size() / 4; ++pixel) {
        bytes[pixel * 4 + (pixel % width < width / 2 ? 2 : 0)] = 255;
    }
    preview.deliver({std::make_shared<PixelBuffer>(PixelBuffer{width, height, width * 4, bytes.data()})});
    const auto showsPicture = [&] {
        const QImage seen = window->screen()->grabWindow(window->winId()).toImage();
        const QColor left = seen.pixelColor(120, 135), right = seen.pixelColor(360, 135);
        return left.red() > 200 && left.blue() < 50 && right.blue() > 200 && right.red() < 50;
    };
    EXPECT_TRUE(QTest::qWaitFor(showsPicture, 5000)) << "the window does not show the sent picture";

    // Its own close button only hides it; the next show brings the same window back.
    window->close();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !preview.isVisible(); }, 5000));
    preview.show();
    EXPECT_EQ(shownWindow(preview), window);

    // The factory goes right after the close, as at the end of the program: the window
    // goes with it rather than staying behind.
    preview.close();
    EXPECT_FALSE(preview.isVisible());
    factory.reset();
    for (const QWindow* left : QGuiApplication::allWindows()) EXPECT_NE(left->title(), "Display preview");
}

} // namespace
} // namespace tavelin::ui
