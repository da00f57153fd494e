#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <algorithm>
#include <string>
#include <vector>

#include "input/mouse_input.hpp"
#include "tests/support/mouse_packets.hpp"
#include "tests/support/simulated_devices.hpp"
#include "tests/support/simulated_platform.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;
using Type = MouseEventType;

using support::at;

class MouseInputTest : public ::testing::Test {
protected:
    MouseInputTest() { remake(); }

    void remake(DisplayID display = 1) {
        mouse = std::make_shared<MouseInput>(display, input, platform, platform, timings, [this] { return now; });
        mouse->onRemotePointer = [this] { ++remotePointers; };
    }

    std::vector<Type> types() const {
        std::vector<Type> result;
        for (const auto& event : input.events) result.push_back(event.type);
        return result;
    }

    SimulatedPlatform platform;
    SimulatedInput input;
    Timings timings{.mouseWatchdogInterval = 1ms};
    std::chrono::steady_clock::time_point now{};
    std::shared_ptr<MouseInput> mouse;
    int remotePointers = 0;
};

TEST_F(MouseInputTest, PacketsBecomeEvents) {
    const auto button = [](int b) { return ",\"button\":" + std::to_string(b); };
    const auto down = [&](int b) { return at("down", 0, 0, button(b)); };
    const auto up = [&](int b) { return at("up", 0, 0, button(b)); };
    // Each flag its own: the move and the scroll set each flag to a different pair of values.
    const auto move = at("move", 0.5, 0.5, R"(,"shift":true,"alt":true,"meta":null)");
    const ModifierFlags shiftAlt{true, false, true, false}, controlAlt{false, true, true, false};
    const auto pressed = [](Type type, int b) { return MouseEvent{type, b, 0, 0, {}, 1}; };
    const auto moved = [&](Type type, int b) { return MouseEvent{type, b, 959.5, 539.5, shiftAlt, 1}; };
    const auto scroll = [](double dx, double dy) {
        return at("scroll", 0.5, 0.5, ",\"dx\":" + std::to_string(dx) + ",\"dy\":" + std::to_string(dy) +
                                          R"(,"control":true,"alt":true)");
    };
    const MouseEvent scrolled{Type::moved, 0, 959.5, 539.5, controlAlt};
    const std::string release = R"({"type":"release","button":7})";
    const DisplayBounds full{0, 0, 1920, 1080};
    struct Case {
        const char* what; std::vector<std::string> packets; std::vector<MouseEvent> events;
        DisplayBounds bounds = {0, 0, 1920, 1080}; std::vector<SimulatedInput::Scroll> scrolls = {};
    } const cases[] = {
        {"centre of a 1920x1080 display", {move}, {moved(Type::moved, 0)}},
        {"1 is the last pixel, not one past it", {at("move", 1, 1)}, {{Type::moved, 0, 1919, 1079, {}}}},
        {"left of and below the main display", {at("move", 0, 1)}, {{Type::moved, 0, -1280, 2103, {}}},
         {-1280, 1080, 1280, 1024}},
        // A display narrower than one point must not map to a negative span.
        {"under a point wide", {at("move", 1, 0)}, {{Type::moved, 0, 100, 0, {}}}, {100, 0, 0.5, 1080}},
        // A display without size takes nothing and tells nobody.
        {"no width", {move}, {}, {0, 0, 0, 1080}}, {"no height", {move}, {}, {0, 0, 1920, 0}},
        {"middle held", {down(1), move}, {pressed(Type::otherDown, 1), moved(Type::otherDragged, 1)}},
        {"main wins over secondary", {down(2), down(0), move},
         {pressed(Type::rightDown, 2), pressed(Type::leftDown, 0), moved(Type::leftDragged, 0)}},
        {"a release without a press", {up(0)}, {}},
        {"presses and releases follow the held set", {down(1), down(1), up(1), up(1)},
         {pressed(Type::otherDown, 1), pressed(Type::otherUp, 1)}},
        // Released without modifiers, in button order; a click after it counts from one.
        {"release lets go of everything and forgets clicks",
         {down(2), down(0), up(0), at("down", 0, 0, button(0) + R"(,"alt":true)"), release, down(0)},
         {pressed(Type::rightDown, 2), pressed(Type::leftDown, 0), pressed(Type::leftUp, 0),
          {Type::leftDown, 0, 0, 0, {false, false, true, false}, 2}, {Type::leftUp, 0, 0, 0, {}, 2},
          pressed(Type::rightUp, 2), pressed(Type::leftDown, 0)}},
        // A scroll moves first, then scrolls whole pixels in the inverted direction.
        {"scroll fraction truncated", {scroll(0, 120.7)}, {scrolled}, full, {{959.5, 539.5, -120, 0, controlAlt}}},
        {"scroll below one pixel", {scroll(-0.6, 0.6)}, {scrolled}, full, {{959.5, 539.5, 0, 0, controlAlt}}},
        {"negative scroll truncated to zero", {scroll(-50.9, -2000)}, {scrolled}, full,
         {{959.5, 539.5, 2000, 50, controlAlt}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platform.display(1).bounds = c.bounds;
        remake();
        input.events.clear();
        input.scrolls.clear();
        remotePointers = 0;
        for (const auto& packet : c.packets) mouse->receive(packet);
        EXPECT_EQ(std::tuple(input.events, input.scrolls), std::tuple(c.events, c.scrolls));
        // Every positional packet on a display with area is the receiver's pointer.
        const auto positional = std::ranges::count_if(c.packets, [&](const auto& p) { return p != release; });
        EXPECT_EQ(remotePointers, c.bounds.width > 0 && c.bounds.height > 0 ? positional : 0);
    }
}

TEST_F(MouseInputTest, CountsClicksByButtonTimeAndDistance) {
    // 101 points wide: an x step of 0.01 is one point.
    platform.display(1).bounds = {0, 0, 101, 101};
    input.interval = 500ms;
    struct Press { std::chrono::milliseconds after; double x; int button = 0; };
    struct Case { const char* what; std::vector<Press> presses; std::vector<int> counts; } const cases[] = {
        {"double then triple click", {{0ms, 0.5}, {100ms, 0.5}, {100ms, 0.5}}, {1, 2, 3}},
        {"4.9 points apart still counts", {{0ms, 0.5}, {100ms, 0.549}}, {1, 2}},
        {"5 points apart restarts", {{0ms, 0.5}, {100ms, 0.5}, {100ms, 0.55}}, {1, 2, 1}},
        {"exactly the interval still counts", {{0ms, 0.5}, {500ms, 0.5}}, {1, 2}},
        {"past the interval restarts", {{0ms, 0.5}, {501ms, 0.5}}, {1, 1}},
        {"another button in between restarts", {{0ms, 0.5}, {50ms, 0.5, 2}, {50ms, 0.5}}, {1, 1, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        remake();
        input.events.clear();
        for (const auto& press : c.presses) {
            now += press.after;
            const std::string button = ",\"button\":" + std::to_string(press.button);
            mouse->receive(at("down", press.x, 0.5, button));
            mouse->receive(at("up", press.x, 0.5, button));
        }
        std::vector<int> downs, ups;
        for (const auto& event : input.events) {
            const bool down = event.type == Type::leftDown || event.type == Type::rightDown;
            (down ? downs : ups).push_back(event.clickState);
        }
        EXPECT_EQ(downs, c.counts);
        EXPECT_EQ(ups, c.counts) << "the release repeats the count of its press";
    }
}

TEST_F(MouseInputTest, WithoutTrustOrDisplayOnlyHeldButtonsAreReleased) {
    struct Case { const char* what; void (*fault)(SimulatedPlatform&); } const cases[] = {
        {"not trusted", [](SimulatedPlatform& p) { p.inputTrusted = false; }},
        {"display not active", [](SimulatedPlatform& p) { p.display(7).online = false; }},
        {"active list unreadable", [](SimulatedPlatform& p) { p.failActiveDisplays = true; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platform = SimulatedPlatform();
        platform.displays[7].bounds = {0, 0, 101, 101};
        remake(7);
        mouse->receive(at("down", 0.5, 0.5, R"(,"button":2,"shift":true)"));
        input.events.clear();
        remotePointers = 0;

        c.fault(platform);
        mouse->receive(at("move", 0.9, 0.9, R"(,"shift":true)"));
        mouse->receive(at("down", 0.9, 0.9, R"(,"button":0)"));
        EXPECT_EQ(std::tuple(remotePointers, mouse->pressed().size()), std::tuple(0, 0u));
        // The release happens where the button went down, with no modifiers.
        EXPECT_EQ(input.events, (std::vector<MouseEvent>{{Type::rightUp, 2, 50, 50, {}, 1}}));
    }
}

TEST_F(MouseInputTest, WatchdogReleasesAfterSilenceOnly) {
    asio::io_context engine;
    const auto tick = [&] { engine.run_for(10ms); engine.restart(); }; // a few watchdog rounds of 1 ms
    auto watchdog = TaskHandle::spawn(engine.get_executor(), MouseInput::watchdog(mouse));
    mouse->receive(at("down", 0.5, 0.5, R"(,"button":0)"));
    now += timings.mouseSilence; // exactly the limit is not yet silence
    tick();
    EXPECT_EQ(types(), (std::vector<Type>{Type::leftDown}));

    now += 1ns;
    tick();
    EXPECT_EQ(types(), (std::vector<Type>{Type::leftDown, Type::leftUp}));
    EXPECT_TRUE(watchdog.isRunning());
    watchdog.cancel();

    // A watchdog whose input is gone ends by itself.
    auto orphan = TaskHandle::spawn(engine.get_executor(), MouseInput::watchdog(mouse));
    mouse.reset();
    tick();
    EXPECT_FALSE(orphan.isRunning());
}

// On the real clock, rounds of 400 ms against a limit of 500 ms: the release comes as
// the limit is reached (about 500 ms), not at the round after it (800 ms).
TEST_F(MouseInputTest, WatchdogReleasesWhenTheSilenceLimitIsReached) {
    timings.mouseWatchdogInterval = 400ms;
    timings.mouseSilence = 500ms;
    mouse = std::make_shared<MouseInput>(1, input, platform, platform, timings);
    asio::io_context engine;
    auto watchdog = TaskHandle::spawn(engine.get_executor(), MouseInput::watchdog(mouse));
    const auto pressed = std::chrono::steady_clock::now();
    mouse->receive(at("down", 0.5, 0.5, R"(,"button":0)"));
    while (mouse->pressed().size() == 1 && std::chrono::steady_clock::now() - pressed < 5s) {
        engine.run_for(5ms);
        engine.restart();
    }
    const auto held = std::chrono::steady_clock::now() - pressed;
    EXPECT_EQ(types(), (std::vector<Type>{Type::leftDown, Type::leftUp}));
    EXPECT_GE(held, timings.mouseSilence);
    EXPECT_LT(held, 700ms) << "released a round after the limit";
    watchdog.cancel();
    engine.run_for(1ms);
}

} // namespace
} // namespace tavelin
