// RandR services and virtual displays, checked on a connection of the test's own: the
// server's state, not what the services under test believe.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <asio/io_context.hpp>

#include "platform/x11/randr_display_services.hpp"
#include "platform/x11/randr_physical_displays.hpp"
#include "platform/x11/randr_query.hpp"
#include "platform/x11/randr_virtual_display.hpp"

namespace tavelin::x11 {
namespace {

constexpr auto ok = DisplayError::none;
using Origin = std::pair<double, double>;
using Mode = std::array<std::int64_t, 4>; // pixels, then points
using Backing = RandRVirtualDisplayFactory::Backing;
Mode sizes(const DisplayMode& m) { return {m.pixelWidth, m.pixelHeight, m.width, m.height}; }

struct Observer {
    RootRect framebuffer() {
        auto geometry = reply(c.get(), xcb_get_geometry_reply, xcb_get_geometry(c.get(), c.root()));
        return {0, 0, geometry->width, geometry->height};
    }
    std::vector<std::string> modeNames() {
        auto resources = reply(c.get(), xcb_randr_get_screen_resources_current_reply,
                               xcb_randr_get_screen_resources_current(c.get(), c.root()));
        std::vector<std::string> names;
        const auto* modes = xcb_randr_get_screen_resources_current_modes(resources.get());
        const auto* text = reinterpret_cast<const char*>(xcb_randr_get_screen_resources_current_names(resources.get()));
        for (int i = 0; i < xcb_randr_get_screen_resources_current_modes_length(resources.get()); ++i)
            text += names.emplace_back(text, modes[i].name_len).size();
        return names;
    }
    std::vector<std::uint8_t> edid(xcb_randr_output_t output) { return outputProperty(c, output, "EDID"); }
    // Of an output or of a monitor without one.
    std::optional<RootRect> rect(DisplayID display) { return displayRect(c, static_cast<std::uint32_t>(display)); }
    xcb_randr_output_t primary() { return primaryOutput(c); }

    Connection c;
};

// The services and a factory on the test program's server, listening for changes as the
// program's do, and so keeping what they read between them. A test leaves the server as
// it found it: the primary lit alone at the root origin.
class RandRTest : public ::testing::Test {
protected:
    RandRTest() { services.onConfigurationChanged([this] { ++changes; }); }
    void TearDown() override {
        EXPECT_EQ(server.primary(), dummy0);
        EXPECT_EQ(server.rect(dummy0), (RootRect{0, 0, 1920, 1080}));
        EXPECT_EQ(server.framebuffer(), (RootRect{0, 0, 1920, 1080})) << "a display was left behind";
    }

    using Step = std::function<DisplayError(DisplayConfigurationTransaction&)>;
    // Stages the steps in order and completes; the first refusal cancels.
    DisplayError apply(const std::vector<Step>& steps) {
        auto transaction = services.beginConfiguration();
        if (!transaction) return DisplayError::failure;
        for (const auto& step : steps) {
            if (const auto refused = step(*transaction); refused != DisplayError::none) {
                transaction->cancel();
                return refused;
            }
        }
        return transaction->complete();
    }
    static Step moveTo(DisplayID d, std::int32_t x, std::int32_t y) {
        return [=](auto& t) { return t.configureOrigin(d, x, y); };
    }
    static Step mirror(DisplayID d, DisplayID master) { return [=](auto& t) { return t.configureMirror(d, master); }; }
    Origin origin(DisplayID display) { return {services.bounds(display).x, services.bounds(display).y}; }

    // What a display must not leave behind.
    struct Trace {
        RootRect framebuffer; std::vector<std::string> modes; std::vector<xcb_randr_output_t> lit; std::size_t monitors;
        friend bool operator==(const Trace&, const Trace&) = default;
    };
    Trace trace() {
        return {server.framebuffer(), server.modeNames(), litOutputs(server.c), outputlessMonitors(server.c).size()};
    }

    // Hands on the notifies that have come, at least one; bounded in case none does.
    void takeNotifies() {
        const int before = changes;
        for (int turn = 0; turn < 50 && changes == before; ++turn) engine.run_one_for(std::chrono::milliseconds(100));
        EXPECT_GT(changes, before);
        engine.poll();
    }

    asio::io_context engine;
    RandRDisplayServices services{engine.get_executor()};
    RandRVirtualDisplayFactory factory{services};
    Observer server;
    const DisplayID dummy0 = services.mainDisplay();
    int changes = 0;
};

using RandRVirtualDisplayTest = RandRTest;
using RandRDisplayServicesTest = RandRTest;

// Right of everything lit, top-aligned with the primary: an output with the display's mode
// and EDID, or a monitor where no output is free. Released, it takes all of it away.
TEST_F(RandRVirtualDisplayTest, ADisplayLitAtTheRightReportedOnTheEngineAndReleased) {
    struct Case { const char* what; Backing backing; bool hiDPI; Mode mode; };
    for (const auto& c : {Case{"an output", Backing::output, false, {1280, 720, 1280, 720}},
                          Case{"a HiDPI monitor", Backing::monitor, true, {1280, 720, 640, 360}}}) {
        SCOPED_TRACE(c.what);
        RandRVirtualDisplayFactory backed(services, c.backing);
        const auto before = trace();
        services.activeDisplays(); // kept: lighting the display must drop it
        auto display = backed.create(1280, 720, 60, c.hiDPI, "Desk", "abc");
        const auto id = display->displayID();
        EXPECT_EQ(services.bounds(id), (DisplayBounds{1920, 0, 1280, 720}));
        EXPECT_EQ(server.framebuffer(), (RootRect{0, 0, 3200, 1080}));
        EXPECT_EQ(litOutputs(server.c).size(), before.lit.size() + (c.backing == Backing::output));
        // CVT 1280 × 720 at 60 Hz is one of the server's own modes: reused, not made again.
        EXPECT_EQ(server.modeNames(), before.modes);
        const auto current = services.currentMode(id);
        ASSERT_TRUE(current);
        EXPECT_EQ(sizes(*current), c.mode);
        EXPECT_NEAR(current->refreshRate, 60, 0.5);
        EXPECT_EQ(services.setMode(id, *current), ok);
        // The block's contents are the descriptor tests'; here it must be on the output.
        const auto edid = server.edid(id);
        ASSERT_EQ(edid.size(), c.backing == Backing::output ? 128u : 0u);
        if (!edid.empty()) { EXPECT_EQ(edid[10] | edid[11] << 8, 0xE90B); }

        // The events are on their way once create() returned.
        takeNotifies();
        services.activeDisplays(); // and releasing it
        display.reset();
        EXPECT_EQ(services.bounds(id), DisplayBounds{});
        EXPECT_EQ(trace(), before);
        EXPECT_TRUE(server.edid(id).empty());
    }
}

// A HiDPI display also offers its half size; both report points as half pixels. Setting a
// mode switches the CRTC and resizes the framebuffer.
TEST_F(RandRVirtualDisplayTest, HiDPIAddsTheHalfSizeWhichSetModeSwitchesTo) {
    struct Case { std::int64_t width, height; Mode full, half; };
    // 1365 guards the width CVT would round down to 1360 (and 682 to 680).
    for (const auto& c : {Case{2560, 1440, {2560, 1440, 1280, 720}, {1280, 720, 1280, 720}},
                          Case{1365, 767, {1365, 767, 682, 383}, {682, 383, 682, 383}}}) {
        SCOPED_TRACE(c.width);
        auto display = factory.create(c.width, c.height, 60, true, "Sharp", "hidpi");
        const auto id = display->displayID();
        auto modes = services.modes(id);
        std::erase_if(modes, [](const DisplayMode& m) { return std::abs(m.refreshRate - 60) >= 0.5; });
        EXPECT_NE(std::ranges::find(modes, c.full, sizes), modes.end());
        const auto half = std::ranges::find(modes, c.half, sizes);
        ASSERT_NE(half, modes.end());
        EXPECT_EQ(sizes(*services.currentMode(id)), c.full);
        EXPECT_EQ(services.setMode(id, *half), ok);
        EXPECT_EQ(services.currentMode(id), *half);
        const RootRect placed{1920, 0, static_cast<std::int32_t>(c.half[0]), static_cast<std::int32_t>(c.half[1])};
        EXPECT_EQ(server.rect(id), placed);
        EXPECT_EQ(server.framebuffer(), (RootRect{0, 0, 1920 + placed.width, 1080}));
        EXPECT_EQ(services.setMode(id, {0x7FFFFFF, 1280, 720, 1280, 720, 60}), DisplayError::illegalArgument);
    }
}

TEST_F(RandRVirtualDisplayTest, RefusedModesLeaveNothingBehind) {
    // 32000 pixels get their mode and output, then the framebuffer cannot grow past
    // 32767: the undo path. The others fail before anything is done.
    for (const std::int64_t width : {32000, 40000, 0}) {
        const auto before = trace();
        EXPECT_THAT([&] { factory.create(width, 720, 60, false, "Huge", "huge"); },
                    ::testing::ThrowsMessage<VirtualDisplayError>(
                        ::testing::StrEq("The display server rejected this display mode. Try 1080p at 60 Hz.")))
            << width;
        EXPECT_EQ(trace(), before) << width;
    }
}

TEST_F(RandRVirtualDisplayTest, DisplaysShareModesAndShrinkTheFramebufferAsTheyGo) {
    auto first = factory.create(1200, 700, 60, false, "One", "one");
    auto second = factory.create(1200, 700, 60, false, "Two", "two");
    EXPECT_EQ(server.rect(second->displayID()), (RootRect{3120, 0, 1200, 700}));
    const auto uses = [&] { return std::ranges::count(server.modeNames(), "1200x700_60.00"); };
    EXPECT_EQ(uses(), 1);

    second.reset();
    EXPECT_EQ(server.framebuffer(), (RootRect{0, 0, 3120, 1080}));
    second = factory.create(1200, 700, 60, false, "Two", "two");
    first.reset();
    // The mode stays while a display uses it; the framebuffer keeps what stays lit.
    EXPECT_EQ(uses(), 1);
    EXPECT_EQ(server.framebuffer(), (RootRect{0, 0, 4320, 1080}));
    second.reset();
    EXPECT_EQ(uses(), 0);
}

// A run killed with its displays lit leaves them on the server: the next start releases
// them, and the saved display an output was made for takes that output again.
TEST_F(RandRVirtualDisplayTest, ARunKilledWithItsDisplayLeavesNoGhostForTheNext) {
    for (const auto& [what, backing] : {std::pair{"output", Backing::output}, {"monitor", Backing::monitor}}) {
        SCOPED_TRACE(what);
        const auto before = trace();
        DisplayID ghost = nullDisplay;
        {
            RandRDisplayServices killed(engine.get_executor());
            RandRVirtualDisplayFactory killedFactory(killed, backing);
            const auto unsaved = killedFactory.create(1200, 700, 60, false, "Unsaved", "unsaved");
            const auto kept = killedFactory.create(1200, 700, 60, false, "Desk", "abc");
            ghost = kept->displayID();
            // Killed: the server loses the connection before anything is released.
            const int nowhere = ::open("/dev/null", O_RDWR);
            ::dup2(nowhere, xcb_get_file_descriptor(killed.connection().get()));
            ::close(nowhere);
        }
        ASSERT_NE(trace(), before);
        RandRVirtualDisplayFactory next(services, backing);
        EXPECT_EQ(trace(), before);
        auto display = next.create(1200, 700, 60, false, "Desk", "abc");
        EXPECT_EQ(backing == Backing::output ? display->displayID() : ghost, ghost);
        display.reset();
        EXPECT_EQ(trace(), before);
    }
}

// Global coordinates put the primary at (0, 0) wherever it lands on the root: negative
// places move the root's content right or down.
TEST_F(RandRDisplayServicesTest, TransactionsPlaceAndMirrorDisplaysInGlobalCoordinates) {
    const DisplayID main = services.mainDisplay();
    auto display = factory.create(1280, 720, 60, false, "Desk", "abc");
    const DisplayID virt = display->displayID();
    EXPECT_EQ(services.activeDisplays(), (std::vector<DisplayID>{main, virt}));
    EXPECT_EQ(services.mirrorsDisplay(12345), nullDisplay);
    const RootRect mainAtLeft{1280, 0, 1920, 1080}, mainAtOrigin{0, 0, 1920, 1080};
    const RootRect wide{0, 0, 3200, 1080}, tall{0, 0, 1920, 1800};
    struct Case {
        const char* what; std::vector<Step> steps; DisplayError result;
        Origin virtAt, mainAt; DisplayID primary, mirrored; RootRect mainOnRoot, framebuffer;
    };
    // Steps that follow each other: each case starts where the one before left.
    const Case cases[] = {
        {"a mirror shares its master's origin", {mirror(virt, main)}, ok, {0, 0}, {0, 0}, main, main,
         mainAtOrigin, mainAtOrigin},
        {"ending the mirror alone puts it beside the others", {mirror(virt, nullDisplay)}, ok, {1920, 0}, {0, 0},
         main, nullDisplay, mainAtOrigin, wide},
        {"mirrored again", {mirror(virt, main)}, ok, {0, 0}, {0, 0}, main, main, mainAtOrigin, mainAtOrigin},
        {"ending it with an origin puts it there", {mirror(virt, nullDisplay), moveTo(virt, -1280, 300)}, ok,
         {-1280, 300}, {0, 0}, main, nullDisplay, mainAtLeft, wide},
        {"a refused step cancels the mirror staged before it", {mirror(virt, main), moveTo(12345, 0, 0)},
         DisplayError::illegalArgument, {-1280, 300}, {0, 0}, main, nullDisplay, mainAtLeft, wide},
        {"ending a mirror that does not exist", {mirror(virt, nullDisplay)}, ok, {-1280, 300}, {0, 0}, main,
         nullDisplay, mainAtLeft, wide},
        {"left", {moveTo(virt, -1280, 0)}, ok, {-1280, 0}, {0, 0}, main, nullDisplay, mainAtLeft, wide},
        {"above", {moveTo(virt, 0, -720)}, ok, {0, -720}, {0, 0}, main, nullDisplay, {0, 720, 1920, 1080}, tall},
        {"below", {moveTo(virt, 0, 1080)}, ok, {0, 1080}, {0, 0}, main, nullDisplay, mainAtOrigin, tall},
        {"right, lower", {moveTo(virt, 1920, 100)}, ok, {1920, 100}, {0, 0}, main, nullDisplay, mainAtOrigin, wide},
        {"moving everything by its origin makes it the primary", {moveTo(main, -1920, -100), moveTo(virt, 0, 0)},
         ok, {0, 0}, {-1920, -100}, virt, nullDisplay, mainAtOrigin, wide},
        // A restored "main" display lands alone on the main display's origin.
        {"one put on the primary's origin takes its place and pushes it aside", {moveTo(main, 0, 0)}, ok,
         {1920, 0}, {0, 0}, main, nullDisplay, mainAtOrigin, wide},
        {"and back", {moveTo(virt, 0, 0)}, ok, {0, 0}, {1280, 0}, virt, nullDisplay, mainAtLeft, wide},
        {"a display cannot mirror itself", {mirror(virt, virt)}, DisplayError::illegalArgument, {0, 0}, {1280, 0},
         virt, nullDisplay, mainAtLeft, wide},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(apply(c.steps), c.result);
        EXPECT_EQ(origin(virt), c.virtAt);
        EXPECT_EQ(origin(main), c.mainAt);
        EXPECT_EQ(server.primary(), c.primary);
        EXPECT_EQ(services.mirrorsDisplay(virt), c.mirrored);
        EXPECT_EQ(services.mirrorsDisplay(main), nullDisplay);
        EXPECT_EQ(server.rect(main), c.mainOnRoot);
        EXPECT_EQ(server.framebuffer(), c.framebuffer);
    }
    // Released while main and left of the other display: the release settles.
}

// What the services keep between notifies: another client's change reaches the bounds
// and the active list once its notify has been handed on.
TEST_F(RandRDisplayServicesTest, AChangeByAnotherClientReachesBoundsAndTheActiveList) {
    auto display = factory.create(1280, 720, 60, false, "Desk", "abc");
    const DisplayID id = display->displayID();
    takeNotifies(); // the creation's own
    const std::string output = "xrandr --output " + outputName(server.c, id);
    struct Case { const char* what; const char* change; bool lit; DisplayBounds bounds; };
    for (const auto& to : {Case{"moved", " --pos 1920x360", true, {1920, 360, 1280, 720}},
                           Case{"switched off", " --off", false, {}}}) {
        SCOPED_TRACE(to.what);
        services.bounds(id); // kept from here on
        ASSERT_EQ(std::system((output + to.change).c_str()), 0);
        takeNotifies();
        EXPECT_EQ(services.bounds(id), to.bounds);
        EXPECT_EQ(std::ranges::count(*services.activeDisplays(), id), to.lit ? 1 : 0);
    }
}

// A place saved beside a wider main display leaves no gap beside a smaller one: right
// stays right, below stays below, sliding back to keep a stretch of edge shared.
TEST_F(RandRDisplayServicesTest, APlaceThatTouchesNothingMovesUntilItTouches) {
    const auto modes = services.modes(dummy0);
    const auto full = *services.currentMode(dummy0);
    auto display = factory.create(1280, 720, 60, false, "Desk", "abc");
    struct Case { Mode main; std::int32_t x, y; Origin expected; };
    for (const auto& c : {Case{{1024, 768, 1024, 768}, 1920, 0, {1024, 0}},
                          Case{{1280, 1024, 1280, 1024}, 1500, 1440, {1279, 1024}}}) {
        SCOPED_TRACE(c.x);
        const auto mode = std::ranges::find(modes, c.main, sizes);
        ASSERT_NE(mode, modes.end());
        ASSERT_EQ(services.setMode(dummy0, *mode), ok);
        ASSERT_EQ(apply({moveTo(display->displayID(), c.x, c.y)}), ok);
        EXPECT_EQ(origin(display->displayID()), c.expected);
    }
    ASSERT_EQ(services.setMode(dummy0, full), ok);
}

} // namespace
} // namespace tavelin::x11
