#include <gtest/gtest.h>

#include <algorithm>

#include "tests/displays/randr_observer.hpp"

namespace tavelin::x11 {
namespace {

class RandRVirtualDisplayTest : public ::testing::Test, protected testing::RandRFixture {
protected:
    const RootRect desktop{0, 0, 1920, 1080};
    // What a display must not leave behind.
    struct Trace {
        RootRect framebuffer;
        std::vector<std::string> modes;
        std::vector<xcb_randr_output_t> lit;
        std::size_t monitors;
        friend bool operator==(const Trace&, const Trace&) = default;
    };
    Trace trace() { return {server.framebuffer(), server.modeNames(), server.lit(), server.monitors().size()}; }
    void TearDown() override { EXPECT_EQ(server.framebuffer(), desktop) << "a display was left behind"; }
};

bool has(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

TEST_F(RandRVirtualDisplayTest, AnOutputLitAtTheRightWithItsModeAndEDID) {
    const auto before = trace();
    auto display = factory.create(1280, 720, 60, false, "Desk", "abc");
    const auto output = display->displayID();
    EXPECT_NE(output, server.primary());
    EXPECT_EQ(server.rect(output), (RootRect{1920, 0, 1280, 720}));
    EXPECT_EQ(server.framebuffer(), (RootRect{0, 0, 3200, 1080}));
    // CVT 1280 × 720 at 60 Hz is one of the server's own modes: reused, not made again.
    EXPECT_EQ(server.modeNames(), before.modes);

    const auto current = services.currentMode(output);
    ASSERT_TRUE(current);
    EXPECT_EQ((std::array{current->pixelWidth, current->pixelHeight, current->width, current->height}),
              (std::array<std::int64_t, 4>{1280, 720, 1280, 720}));
    EXPECT_NEAR(current->refreshRate, 60, 0.5);
    EXPECT_EQ(services.bounds(output), (DisplayBounds{1920, 0, 1280, 720}));
    EXPECT_TRUE(services.isOnline(output));

    // The block's contents are the descriptor tests'; here it must be on the output.
    const auto edid = server.edid(output);
    ASSERT_EQ(edid.size(), 128u);
    EXPECT_EQ(edid[10] | edid[11] << 8, 0xE90B);

    display.reset();
    EXPECT_EQ(trace(), before);
    EXPECT_FALSE(server.rect(output));
    EXPECT_TRUE(server.edid(output).empty());
}

TEST_F(RandRVirtualDisplayTest, HiDPIAddsTheHalfSizeAndReportsPointsAsHalfPixels) {
    using Mode = std::array<std::int64_t, 4>; // pixels, then points
    struct Case {
        std::int64_t width, height;
        Mode full, half;
    };
    // 1365 guards the width CVT would round down to 1360 (and 682 to 680).
    for (const auto& c : {Case{2560, 1440, {2560, 1440, 1280, 720}, {1280, 720, 1280, 720}},
                          Case{1365, 767, {1365, 767, 682, 383}, {682, 383, 682, 383}}}) {
        SCOPED_TRACE(c.width);
        auto display = factory.create(c.width, c.height, 60, true, "Sharp", "hidpi");
        std::vector<Mode> sizes;
        for (const auto& mode : services.modes(display->displayID())) {
            if (std::abs(mode.refreshRate - 60) < 0.5) sizes.push_back({mode.pixelWidth, mode.pixelHeight, mode.width, mode.height});
        }
        EXPECT_NE(std::ranges::find(sizes, c.full), sizes.end());
        EXPECT_NE(std::ranges::find(sizes, c.half), sizes.end());
        const auto current = services.currentMode(display->displayID());
        EXPECT_EQ((Mode{current->pixelWidth, current->pixelHeight, current->width, current->height}), c.full);
    }
}

TEST_F(RandRVirtualDisplayTest, RefusedModesLeaveNothingBehind) {
    struct Case {
        std::int64_t width, height;
        const char* why;
    };
    // 32000 pixels get their mode and output, then the framebuffer cannot grow past
    // 32767: the undo path. The others fail before anything is done.
    for (const auto& c : {Case{32000, 720, "framebuffer limit"}, Case{40000, 720, "beyond the protocol"},
                          Case{0, 720, "empty"}}) {
        SCOPED_TRACE(c.why);
        const auto before = trace();
        try {
            factory.create(c.width, c.height, 60, false, "Huge", "huge");
            ADD_FAILURE() << "created";
        } catch (const VirtualDisplayError& error) {
            EXPECT_STREQ(error.what(), "The display server rejected this display mode. Try 1080p at 60 Hz.");
        }
        EXPECT_EQ(trace(), before);
    }
}

TEST_F(RandRVirtualDisplayTest, DisplaysShareModesAndShrinkTheFramebufferAsTheyGo) {
    auto first = factory.create(1200, 700, 60, false, "One", "one");
    auto second = factory.create(1200, 700, 60, false, "Two", "two");
    EXPECT_NE(first->displayID(), second->displayID());
    EXPECT_EQ(server.rect(second->displayID()), (RootRect{3120, 0, 1200, 700}));
    EXPECT_EQ(std::ranges::count(server.modeNames(), std::string("1200x700_60.00")), 1);

    second.reset();
    EXPECT_EQ(server.framebuffer(), (RootRect{0, 0, 3120, 1080}));
    second = factory.create(1200, 700, 60, false, "Two", "two");
    first.reset();
    // The mode stays while a display uses it; the framebuffer keeps what stays lit.
    EXPECT_TRUE(has(server.modeNames(), "1200x700_60.00"));
    EXPECT_EQ(server.framebuffer(), (RootRect{0, 0, 4320, 1080}));
    second.reset();
    EXPECT_FALSE(has(server.modeNames(), "1200x700_60.00"));
}

TEST_F(RandRVirtualDisplayTest, AMonitorStandsInWhereNoOutputIsFree) {
    RandRVirtualDisplayFactory monitors(services, RandRVirtualDisplayFactory::Backing::monitor);
    const auto before = trace();
    auto display = monitors.create(1280, 720, 60, true, "Region", "region");
    const auto id = display->displayID();
    const auto seen = server.monitors();
    ASSERT_TRUE(std::ranges::any_of(seen, [&](const auto& m) { return m.name == id; }));
    EXPECT_EQ(std::ranges::find_if(seen, [&](const auto& m) { return m.name == id; })->rect,
              (RootRect{1920, 0, 1280, 720}));
    EXPECT_EQ(server.framebuffer(), (RootRect{0, 0, 3200, 1080}));
    EXPECT_EQ(services.bounds(id), (DisplayBounds{1920, 0, 1280, 720}));
    EXPECT_EQ(services.currentMode(id), (DisplayMode{0, 1280, 720, 640, 360, 60}));
    EXPECT_EQ(services.setMode(id, *services.currentMode(id)), DisplayError::none);
    EXPECT_EQ(server.lit(), before.lit);
    display.reset();
    EXPECT_EQ(trace(), before);
}

} // namespace
} // namespace tavelin::x11
