#include <gtest/gtest.h>

#include <asio/io_context.hpp>

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
    MouseInputTest() {
        platform.display(1).bounds = {0, 0, 1920, 1080};
        timings.mouseWatchdogInterval = 1ms;
        remake();
    }

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
    Timings timings;
    std::chrono::steady_clock::time_point now{};
    std::shared_ptr<MouseInput> mouse;
    int remotePointers = 0;
};

TEST_F(MouseInputTest, FractionsMapFromFirstToLastPixel) {
    struct Case {
        const char* what;
        DisplayBounds bounds;
        double x, y;
        std::vector<MouseEvent> expected;
    } const cases[] = {
        {"centre of a 1920x1080 display", {0, 0, 1920, 1080}, 0.5, 0.5, {{Type::moved, 0, 959.5, 539.5, {}, 1}}},
        {"1 is the last pixel, not one past it", {0, 0, 1920, 1080}, 1, 1, {{Type::moved, 0, 1919, 1079, {}, 1}}},
        {"left of and below the main display", {-1280, 1080, 1280, 1024}, 0, 1, {{Type::moved, 0, -1280, 2103, {}, 1}}},
        // A display narrower than one point must not map to a negative span.
        {"under a point wide", {100, 0, 0.5, 1080}, 1, 0, {{Type::moved, 0, 100, 0, {}, 1}}},
        // A display without size takes nothing and tells nobody.
        {"no width", {0, 0, 0, 1080}, 0.5, 0.5, {}}, {"no height", {0, 0, 1920, 0}, 0.5, 0.5, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platform.display(1).bounds = c.bounds;
        input.events.clear();
        remotePointers = 0;
        mouse->receive(at("move", c.x, c.y));
        EXPECT_EQ(input.events, c.expected);
        EXPECT_EQ(remotePointers, static_cast<int>(c.expected.size()));
    }
}

TEST_F(MouseInputTest, MoveDragsWithTheHeldButton) {
    struct Case {
        const char* what;
        std::vector<int> held;
        Type type;
        int button;
    } const cases[] = {
        {"nothing held", {}, Type::moved, 0}, {"secondary held", {2}, Type::rightDragged, 2},
        {"middle held", {1}, Type::otherDragged, 1}, {"main wins over secondary", {2, 0}, Type::leftDragged, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        remake();
        for (const int button : c.held) mouse->receive(at("down", 0, 0, ",\"button\":" + std::to_string(button)));
        input.events.clear();
        // Each flag its own: swapping any two of them changes what is posted here or in the scroll.
        mouse->receive(at("move", 0.5, 0.5, R"(,"shift":true,"alt":true,"meta":null)"));
        EXPECT_EQ(input.events, (std::vector<MouseEvent>{{c.type, c.button, 959.5, 539.5, {true, false, true, false}, 1}}));
    }
}

TEST_F(MouseInputTest, CountsClicksByButtonTimeAndDistance) {
    // 101 points wide: an x step of 0.01 is one point.
    platform.display(1).bounds = {0, 0, 101, 101};
    input.interval = 500ms;
    struct Press {
        std::chrono::milliseconds after;
        double x;
        int button = 0;
    };
    struct Case {
        const char* what;
        std::vector<Press> presses;
        std::vector<int> counts;
    } const cases[] = {
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

TEST_F(MouseInputTest, PressesAndReleasesFollowTheHeldSet) {
    mouse->receive(at("up", 0.5, 0.5, R"(,"button":0)"));
    EXPECT_TRUE(input.events.empty()) << "a release without a press posts nothing";

    for (const char* type : {"down", "down", "up", "up"}) mouse->receive(at(type, 0.5, 0.5, R"(,"button":1)"));
    EXPECT_EQ(types(), (std::vector<Type>{Type::otherDown, Type::otherUp}));
    EXPECT_TRUE(mouse->pressed().empty());
}

TEST_F(MouseInputTest, ScrollMovesThenScrollsWholePixelsInverted) {
    struct Case {
        const char* what;
        double dx, dy;
        std::int32_t vertical, horizontal;
    } const cases[] = {
        {"fraction truncated, direction inverted", 0, 120.7, -120, 0},
        {"below one pixel is nothing", -0.6, 0.6, 0, 0},
        {"negative amounts truncate towards zero", -50.9, -2000, 2000, 50},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        input.events.clear();
        input.scrolls.clear();
        const std::string amounts = ",\"dx\":" + std::to_string(c.dx) + ",\"dy\":" + std::to_string(c.dy);
        mouse->receive(at("scroll", 0.5, 0.5, amounts + R"(,"control":true)"));
        const ModifierFlags control{false, true, false, false};
        EXPECT_EQ(input.events, (std::vector<MouseEvent>{{Type::moved, 0, 959.5, 539.5, control, 1}}));
        EXPECT_EQ(input.scrolls,
                  (std::vector<SimulatedInput::Scroll>{{959.5, 539.5, c.vertical, c.horizontal, control}}));
    }
}

TEST_F(MouseInputTest, WithoutTrustOrDisplayOnlyHeldButtonsAreReleased) {
    struct Case {
        const char* what;
        void (*fault)(SimulatedPlatform&);
    } const cases[] = {
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
        EXPECT_EQ(remotePointers, 0);
        EXPECT_TRUE(mouse->pressed().empty());
        // The release happens where the button went down, with no modifiers.
        EXPECT_EQ(input.events, (std::vector<MouseEvent>{{Type::rightUp, 2, 50, 50, {}, 1}}));
    }
}

TEST_F(MouseInputTest, ReleasePacketReleasesEverythingAndForgetsClicks) {
    mouse->receive(at("down", 0, 0, R"(,"button":2)"));
    mouse->receive(at("down", 0, 0, R"(,"button":0)"));
    mouse->receive(at("up", 0, 0, R"(,"button":0)"));
    mouse->receive(at("down", 0, 0, R"(,"button":0,"alt":true)"));
    input.events.clear();
    mouse->receive(R"({"type":"release","button":7})");
    EXPECT_EQ(input.events, (std::vector<MouseEvent>{{Type::leftUp, 0, 0, 0, {}, 2}, {Type::rightUp, 2, 0, 0, {}, 1}}));

    input.events.clear();
    mouse->receive(at("down", 0, 0, R"(,"button":0)"));
    EXPECT_EQ(input.events.at(0).clickState, 1) << "the click history went with the release";
}

TEST_F(MouseInputTest, WatchdogReleasesAfterSilenceOnly) {
    asio::io_context engine;
    const auto tick = [&] { engine.run_for(10ms); engine.restart(); }; // a few watchdog rounds of 1 ms
    auto watchdog = TaskHandle::spawn(engine.get_executor(), MouseInput::watchdog(mouse));
    mouse->receive(at("down", 0.5, 0.5, R"(,"button":0)"));

    // Heartbeats keep the held button: the silence never exceeds the limit.
    for (int i = 0; i < 3; ++i) {
        now += timings.mouseSilence * 6 / 10;
        mouse->receive(R"({"type":"heartbeat"})");
        tick();
    }
    now += timings.mouseSilence; // exactly the limit is not yet silence
    tick();
    EXPECT_EQ(types(), (std::vector<Type>{Type::leftDown}));

    now += 1ns;
    tick();
    EXPECT_EQ(types(), (std::vector<Type>{Type::leftDown, Type::leftUp}));
    EXPECT_TRUE(watchdog.isRunning());

    watchdog.cancel();
    tick();
    EXPECT_FALSE(watchdog.isRunning());

    // A watchdog whose input is gone ends by itself.
    auto orphan = TaskHandle::spawn(engine.get_executor(), MouseInput::watchdog(mouse));
    mouse.reset();
    tick();
    EXPECT_FALSE(orphan.isRunning());
}

} // namespace
} // namespace tavelin
