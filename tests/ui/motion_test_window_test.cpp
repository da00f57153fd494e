// The motion test window on the embedded X server: its picture, its placement on a
// virtual display, and clicks passing through it.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ranges>
#include <set>

#include <asio/io_context.hpp>

#include <QGuiApplication>
#include <QMouseEvent>
#include <QRasterWindow>
#include <QScreen>
#include <QTest>

#include "platform/x11/x11_backend.hpp"
#include "ui/motion_test.hpp"
#include "tests/support/xcb_application.hpp"

namespace tavelin::ui {
namespace {

TEST(MotionTestPicture, BarsSweepTheirOwnDistanceInTheSameThreeSeconds) {
    struct Case {
        int bar;
        double seconds;
        double center;
    } const cases[] = {
        {0, 0.0, 0},    {0, 3.0, 2400},    {0, 1.5, 1200}, // the first bar: 0 to 1920 + 480
        {7, 0.0, -420}, {7, 3.0, 1980},                    // the last: -420 to 1920 + 60
        {0, 4.5, 1200}, {0, 6.0, 0},       {7, 9.0, 1980}, // and back, forever
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(MotionTestPicture::barCenter(c.bar, 1920, c.seconds), c.center)
            << "bar " << c.bar << " at " << c.seconds << " s";
    }
    EXPECT_EQ(MotionTestPicture::barColor(0), QColor::fromRgbF(0.40f, 0.8f, 0.65f));
    EXPECT_EQ(MotionTestPicture::barColor(7), QColor::fromRgbF(0.75f, 0.8f, 0.65f));
}

// A window that records the presses it gets.
class Target final : public QRasterWindow {
public:
    int presses = 0;

protected:
    void mousePressEvent(QMouseEvent*) override { ++presses; }
    void paintEvent(QPaintEvent*) override {}
};

TEST(MotionTestWindow, CoversTheVirtualDisplayExactlyAndLetsClicksThrough) {
    const auto application = support::xcbApplication();
    const auto screenAt = [](const QRect& geometry) -> QScreen* {
        const auto screens = QGuiApplication::screens();
        const auto found = std::ranges::find(screens, geometry, &QScreen::geometry);
        return found == screens.end() ? nullptr : *found;
    };
    asio::io_context engine;
    const auto backend = x11::X11Backend::connect(engine.get_executor());
    const auto display = backend->virtualDisplays().create(1280, 720, 60, false, "Motion", "motion-test");
    const auto bounds = backend->displays().bounds(display->displayID());
    const QRect output(static_cast<int>(bounds.x), static_cast<int>(bounds.y), static_cast<int>(bounds.width),
                       static_cast<int>(bounds.height));
    ASSERT_EQ(output, QRect(1920, 0, 1280, 720));
    ASSERT_TRUE(QTest::qWaitFor([&] { return screenAt(output) != nullptr; }, 5000)) << "Qt never saw the display";

    Target below;
    below.setFlags(Qt::FramelessWindowHint | Qt::BypassWindowManagerHint);
    below.setGeometry(output.adjusted(100, 100, -100, -100));
    below.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&below));

    MotionTestWindow motion;
    motion.showAt(output);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(motion.window()));
    EXPECT_TRUE(motion.isVisible());
    EXPECT_EQ(motion.window()->screen(), screenAt(output));
    EXPECT_EQ(motion.window()->geometry(), output);

    // What the server shows: the test picture up to each edge of the output, and not on
    // the main display beside it (at the origin, so its coordinates are the desktop's).
    // Sampled in the top and bottom rows, where only the picture can be.
    const auto isPicture = [](QColor color) {
        bool picture = color.rgb() == MotionTestPicture::background().rgb();
        for (int i = 0; i < MotionTestPicture::bars; ++i) picture |= color.rgb() == MotionTestPicture::barColor(i).rgb();
        return picture;
    };
    QImage seen;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            seen = QGuiApplication::primaryScreen()
                       ->grabWindow(0, output.x() - 1, 0, output.width() + 2, output.height())
                       .toImage();
            return isPicture(seen.pixelColor(output.width(), 0));
        },
        5000))
        << "the picture never reached the screen";
    for (const int y : {0, output.height() - 1}) {
        EXPECT_TRUE(isPicture(seen.pixelColor(1, y))) << "left edge, row " << y;
        EXPECT_TRUE(isPicture(seen.pixelColor(output.width(), y))) << "right edge, row " << y;
        EXPECT_FALSE(isPicture(seen.pixelColor(0, y))) << "left of the output, row " << y;
    }

    // The bars start stacked at the left edge and fan out as they sweep: a moment later
    // every one of the eight is on the screen.
    const auto allBarsShown = [&] {
        const QImage shot = motion.window()->screen()->grabWindow(motion.window()->winId()).toImage();
        std::set<QRgb> row;
        for (int x = 0; x < shot.width(); ++x) row.insert(shot.pixelColor(x, 0).rgb());
        return std::ranges::all_of(std::views::iota(0, MotionTestPicture::bars),
                                   [&](int i) { return row.contains(MotionTestPicture::barColor(i).rgb()); });
    };
    EXPECT_TRUE(QTest::qWaitFor(allBarsShown, 5000)) << "the bars do not move";

    // A click through the test picture lands in the window below it.
    for (const auto type : {MouseEventType::moved, MouseEventType::leftDown, MouseEventType::leftUp}) {
        MouseEvent event;
        event.type = type;
        event.x = output.center().x();
        event.y = output.center().y();
        ASSERT_TRUE(backend->input().post(event));
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return below.presses == 1; }, 5000)) << "the click was swallowed";

    motion.close();
    EXPECT_FALSE(motion.isVisible());
    motion.showAt(output);
    EXPECT_TRUE(motion.isVisible()) << "shown again after a close";
    motion.close();
}

} // namespace
} // namespace tavelin::ui
