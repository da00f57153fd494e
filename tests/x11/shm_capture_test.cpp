#include "platform/x11/shm_capture.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <xcb/xcb.h>

#include "platform/x11/randr_display_services.hpp"
#include "platform/x11/randr_query.hpp"
#include "platform/x11/randr_virtual_display.hpp"
#include "platform/x11/xcb_handles.hpp"

namespace tavelin::x11 {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t background = 0x204080;
constexpr std::uint32_t red = 0xff0000, green = 0x00ff00, blue = 0x0000ff, white = 0xffffff;
// Safety net for a capture that never delivers; waits normally end within a few ticks.
constexpr auto patience = 10s;

std::uint32_t pixel(const PixelBuffer& buffer, std::int64_t x, std::int64_t y) {
    std::uint32_t value;
    std::memcpy(&value, buffer.data + y * buffer.stride + x * 4, 4);
    return value & 0xffffff;
}

// Scaling filters may move a channel by a few steps.
bool near(std::uint32_t colour, std::uint32_t expected) {
    for (int shift = 0; shift < 24; shift += 8)
        if (std::abs(int((colour >> shift) & 0xff) - int((expected >> shift) & 0xff)) > 4) return false;
    return true;
}

bool plain(const PixelBuffer& buffer, std::int64_t left, std::int64_t top, std::int64_t side = 24) {
    for (auto y = top; y < top + side; ++y)
        for (auto x = left; x < left + side; ++x)
            if (pixel(buffer, x, y) != background) return false;
    return true;
}

// Draws on the primary display (DUMMY0, 1920 × 1080 at the origin) through a connection of
// the test's own. The root shows the cursor font's arrow (a bare server shows none).
struct Painter {
    Painter() {
        xcb_create_gc(connection, gc, connection.root(), 0, nullptr);
        setCursor(68); // XC_left_ptr
    }
    // A glyph of the cursor font (its mask is the next one) as the root's pointer image.
    void setCursor(std::uint16_t glyph) {
        const auto font = xcb_generate_id(connection), cursor = xcb_generate_id(connection);
        xcb_open_font(connection, font, 6, "cursor");
        xcb_create_glyph_cursor(connection, cursor, font, font, glyph, glyph + 1, 0, 0, 0, 0xffff, 0xffff, 0xffff);
        xcb_close_font(connection, font);
        xcb_change_window_attributes(connection, connection.root(), XCB_CW_CURSOR, &cursor);
        xcb_free_cursor(connection, cursor);
        sync();
    }
    void fill(std::uint32_t colour, std::int16_t x, std::int16_t y, std::uint16_t width, std::uint16_t height) {
        xcb_change_gc(connection, gc, XCB_GC_FOREGROUND, &colour);
        const xcb_rectangle_t rect{x, y, width, height};
        xcb_poly_fill_rectangle(connection, connection.root(), gc, 1, &rect);
        sync();
    }
    // A plain window above the root, drawn by the server from its background.
    void window(std::uint32_t colour, std::int16_t x, std::int16_t y, std::uint16_t side) {
        const auto id = xcb_generate_id(connection);
        const std::uint32_t values[] = {colour, 1};
        xcb_create_window(connection, XCB_COPY_FROM_PARENT, id, connection.root(), x, y, side, side, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(connection, id);
        sync();
    }
    void showPointerAt(std::int16_t x, std::int16_t y) {
        xcb_warp_pointer(connection, XCB_NONE, connection.root(), 0, 0, 0, 0, x, y);
        sync();
    }
    void sync() { reply(connection.get(), xcb_get_input_focus_reply, xcb_get_input_focus(connection)); }

    Connection connection;
    const xcb_gcontext_t gc = xcb_generate_id(connection); // goes with the connection
};

// Changes the outputs with xrandr, keeping the framebuffer at the primary display's size.
bool xrandr(const std::string& arguments) { return std::system(("xrandr --fb 1920x1080 " + arguments).c_str()) == 0; }

// Receives the stream's frames; keeps the last complete one (or all while holding).
struct Frames {
    ScreenCapture::FrameHandler handler() {
        return [this](const CapturedFrame& frame) {
            std::lock_guard lock(mutex);
            if (frame.complete && !hold) held.clear();
            if (frame.complete) held.push_back(frame.buffer);
            ++(frame.complete ? complete : idle);
            changed.notify_all();
        };
    }
    // Fails the test when no complete frame satisfies `wanted` within `patience`.
    std::shared_ptr<const PixelBuffer> waitFor(const std::function<bool(const PixelBuffer&)>& wanted = {}) {
        std::unique_lock lock(mutex);
        const bool found =
            changed.wait_for(lock, patience, [&] { return !held.empty() && (!wanted || wanted(*held.back())); });
        EXPECT_TRUE(found) << "no such frame came";
        return found ? held.back() : nullptr;
    }
    // Waits for `count` more idle frames and returns how many complete ones came meanwhile.
    int waitForIdle(int count) {
        std::unique_lock lock(mutex);
        const int idleTarget = idle + count, completeBefore = complete;
        EXPECT_TRUE(changed.wait_for(lock, patience, [&] { return idle >= idleTarget; }));
        return complete - completeBefore;
    }
    void release() { std::lock_guard lock(mutex); held.clear(); hold = false; }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::shared_ptr<const PixelBuffer>> held;
    int complete = 0, idle = 0;
    bool hold = false;
};

const ScreenCapture::ErrorHandler failOnError = [](const std::string& message) { ADD_FAILURE() << message; };

class ShmCaptureTest : public ::testing::Test {
protected:
    ShmCaptureTest() { painter.fill(background, 0, 0, 1920, 1080); }

    std::unique_ptr<CaptureStream> start(CaptureConfiguration configuration) {
        // Only the primary output is lit, listed at its pixel size.
        const auto displays = capture.shareableDisplays();
        EXPECT_EQ(displays.size(), 1u);
        EXPECT_EQ(std::tuple(displays.at(0).id, displays.at(0).width, displays.at(0).height),
                  std::tuple(primaryOutput(painter.connection), 1920, 1080));
        return capture.start(displays.at(0), configuration, frames.handler(), failOnError);
    }

    Painter painter;
    X11ScreenCapture capture;
    Frames frames;
};

// Where no output was free, a virtual display is a monitor over part of the framebuffer;
// it must be as capturable as an output.
TEST_F(ShmCaptureTest, CapturesAMonitorDeclaredWithoutAnOutput) {
    asio::io_context engine;
    RandRDisplayServices services(engine.get_executor());
    RandRVirtualDisplayFactory factory(services, RandRVirtualDisplayFactory::Backing::monitor);
    const auto display = factory.create(640, 480, 60, false, "Region", "region");
    const auto displays = capture.shareableDisplays();
    const auto found = std::ranges::find(displays, display->displayID(), &CaptureDisplay::id);
    ASSERT_NE(found, displays.end());
    EXPECT_EQ(std::tuple(found->width, found->height), std::tuple(640, 480));

    painter.fill(background, 1920, 0, 640, 480);
    painter.fill(red, 1920 + 10, 10, 20, 20);
    auto stream = capture.start(*found, {640, 480, 60, 3, false}, frames.handler(), failOnError);
    const auto picture = frames.waitFor([](const PixelBuffer& b) { return pixel(b, 15, 15) == red; });
    ASSERT_TRUE(picture);
    EXPECT_EQ(pixel(*picture, 5, 5), background);
}

TEST_F(ShmCaptureTest, CapturesTheDrawingEachDamageAndThePointerOnlyWhenShown) {
    painter.fill(red, 100, 100, 200, 100);
    painter.fill(green, 1000, 500, 50, 50);
    painter.window(blue, 1500, 800, 100);
    painter.showPointerAt(700, 300);
    CaptureConfiguration configuration{1920, 1080, 60, 3, false};
    auto stream = start(configuration);

    auto picture = frames.waitFor();
    ASSERT_TRUE(picture);
    for (const auto& [x, y, colour] : std::initializer_list<std::tuple<int, int, std::uint32_t>>{
             {150, 150, red}, {100, 100, red}, {299, 199, red}, {300, 200, background}, {99, 150, background},
             {1020, 520, green}, {1550, 850, blue}, {1599, 899, blue}, {1600, 900, background},
             {1919, 1079, background}})
        EXPECT_EQ(pixel(*picture, x, y), colour) << x << "," << y;
    EXPECT_TRUE(plain(*picture, 696, 296)) << "a pointer not asked for";
    picture.reset();
    EXPECT_EQ(frames.waitForIdle(5), 0) << "a static screen gives idle frames only";

    // Damage on the root makes a new picture (a window's drawing is the browser test's colours).
    painter.fill(white, 400, 400, 10, 10);
    frames.waitFor([](const PixelBuffer& b) { return pixel(b, 405, 405) == white; });

    configuration.showsCursor = true;
    stream->update(configuration);
    frames.waitFor([](const PixelBuffer& b) { return !plain(b, 696, 296); });
    // A moved pointer is a change of the picture by itself.
    painter.showPointerAt(900, 300);
    auto arrow = frames.waitFor([](const PixelBuffer& b) { return plain(b, 696, 296) && !plain(b, 896, 296); });
    // So is a new pointer image where the pointer stands.
    const auto around = [](const PixelBuffer& b) {
        std::vector<std::uint32_t> pixels;
        for (int y = 280; y < 330; ++y)
            for (int x = 880; x < 930; ++x) pixels.push_back(pixel(b, x, y));
        return pixels;
    };
    const auto withArrow = around(*arrow);
    arrow.reset();
    painter.setCursor(0); // XC_X_cursor
    frames.waitFor([&](const PixelBuffer& b) { return around(b) != withArrow; });
    configuration.showsCursor = false;
    stream->update(configuration);
    frames.waitFor([](const PixelBuffer& b) { return plain(b, 896, 296); });
}

// At one tick a second, a change just after a tick is taken at once rather than at the
// next one, yet a display that keeps changing still gives at most one picture a second.
TEST_F(ShmCaptureTest, AChangeIsTakenAtOnceButAtMostOncePerInterval) {
    auto stream = start({1920, 1080, 1, 3, false});
    frames.waitFor();
    frames.waitForIdle(1);
    const auto painted = std::chrono::steady_clock::now();
    painter.fill(white, 400, 400, 10, 10);
    frames.waitFor([](const PixelBuffer& b) { return pixel(b, 405, 405) == white; });
    EXPECT_LT(std::chrono::steady_clock::now() - painted, 500ms) << "the change waited for the tick";

    const int before = [&] { std::lock_guard lock(frames.mutex); return frames.complete; }();
    for (int step = 0; step < 16; ++step) {
        painter.fill(step % 2 ? red : green, 400, 400, 10, 10);
        std::this_thread::sleep_for(50ms);
    }
    std::lock_guard lock(frames.mutex);
    EXPECT_LE(frames.complete - before, 1) << "more than one picture in an interval";
}

TEST_F(ShmCaptureTest, WithEveryBufferHeldTicksAreSkippedUntilOneIsReleased) {
    frames.hold = true;
    auto stream = start({1920, 1080, 60, 3, false});
    auto& x11Stream = dynamic_cast<X11CaptureStream&>(*stream);
    frames.waitFor();
    for (const auto colour : {white, green}) {
        painter.fill(colour, 10, 10, 5, 5);
        frames.waitFor([colour](const PixelBuffer& b) { return pixel(b, 12, 12) == colour; });
    }
    painter.fill(red, 10, 10, 5, 5);

    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (x11Stream.counts().skippedTicks == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_GT(x11Stream.counts().skippedTicks, 0);
    EXPECT_EQ(x11Stream.counts().completeFrames, 3);

    frames.release();
    frames.waitFor([](const PixelBuffer& b) { return pixel(b, 12, 12) == red; });
}

TEST_F(ShmCaptureTest, FollowsAModeChangeOfTheDisplay) {
    painter.fill(red, 100, 100, 200, 100);
    painter.showPointerAt(1500, 300);
    auto stream = start({1920, 1080, 60, 3, true});
    frames.waitFor([](const PixelBuffer& b) { return pixel(b, 150, 150) == red; });

    // The display now shows the root's top-left 960 × 540 stretched to the stream's size;
    // DUMMY1 shows the next 960 × 540.
    ASSERT_TRUE(xrandr("--output DUMMY0 --mode 960x540 --pos 0x0"));
    ASSERT_EQ(std::system("xrandr --addmode DUMMY1 960x540"), 0);
    ASSERT_TRUE(xrandr("--output DUMMY1 --mode 960x540 --pos 960x0"));
    const auto picture = frames.waitFor([](const PixelBuffer& b) { return near(pixel(b, 300, 250), red); });
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width, 1920);
    EXPECT_TRUE(near(pixel(*picture, 150, 150), background));
    EXPECT_TRUE(near(pixel(*picture, 650, 450), background));

    // A pointer moving on the other display (the server kept it on the only lit one until
    // now) makes no new picture of this one; two idle frames make a whole tick see each move.
    painter.showPointerAt(1300, 300);
    frames.waitForIdle(2);
    int completeFrames = 0;
    for (std::int16_t step = 0; step < 5; ++step) {
        painter.showPointerAt(static_cast<std::int16_t>(1400 + 40 * step), 300);
        completeFrames += frames.waitForIdle(2);
    }
    EXPECT_EQ(completeFrames, 0);

    ASSERT_TRUE(xrandr("--output DUMMY1 --off --output DUMMY0 --mode 1920x1080 --pos 0x0"));
    frames.waitFor([](const PixelBuffer& b) { return pixel(b, 150, 150) == red && pixel(b, 300, 250) == background; });
}

} // namespace
} // namespace tavelin::x11
