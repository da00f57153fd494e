#include <gtest/gtest.h>

#include <thread>

#include "platform/gnome/mutter_virtual_monitor.hpp"

namespace tavelin::gnome {
namespace {

using namespace std::chrono_literals;

// Reads mutter's monitors until `check` holds or two seconds pass.
template <typename Check> MonitorsState eventually(GDBusConnection* bus, Check check) {
    auto state = currentMonitors(bus);
    for (int tries = 0; tries < 40 && !(state && check(*state)); ++tries) {
        std::this_thread::sleep_for(50ms);
        state = currentMonitors(bus);
    }
    EXPECT_TRUE(state && check(*state));
    return state.value_or(MonitorsState{});
}

TEST(MutterVirtualMonitor, AppearsAtItsModeIsPlacedAndGoes) {
    auto monitor = MutterVirtualMonitor::create(sessionBus(), 1280, 720, 60);
    const std::string connector = monitor->connector();
    EXPECT_EQ(monitor->nextFrame(3s), std::pair(1280, 720));

    const auto bus = sessionBus();
    auto state = eventually(bus.get(), [&](const MonitorsState& s) { return s.bounds(connector).has_value(); });
    const MonitorMode* mode = state.monitor(connector)->currentMode();
    ASSERT_NE(mode, nullptr);
    EXPECT_EQ(std::pair(mode->width, mode->height), std::pair(1280, 720));
    EXPECT_NEAR(mode->refreshRate, 60, 0.5);
    // A new monitor comes to the right of the others.
    EXPECT_EQ(state.bounds(connector), (DisplayBounds{1920, 0, 1280, 720}));

    // Left of the headless monitor and main.
    applyMonitors(bus.get(), state, {{0, 0, 1, 0, true, {connector}}, {1280, 0, 1, 0, false, {"Meta-0"}}}, 1);
    state = eventually(bus.get(), [&](const MonitorsState& s) { return s.bounds(connector) == DisplayBounds{0, 0, 1280, 720}; });
    EXPECT_TRUE(state.logicalMonitorOf(connector)->primary);
    EXPECT_EQ(state.bounds("Meta-0"), (DisplayBounds{1280, 0, 1920, 1080}));
    // A stale serial is refused, never applied over a newer layout.
    EXPECT_THROW(applyMonitors(bus.get(), MonitorsState{state.serial - 1, state.monitors, {}, false},
                               {{0, 0, 1, 0, true, {"Meta-0"}}}, 1),
                 std::runtime_error);

    monitor.reset();
    eventually(bus.get(), [&](const MonitorsState& s) { return s.monitor(connector) == nullptr; });
}

} // namespace
} // namespace tavelin::gnome
