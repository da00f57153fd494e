#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <thread>

#include "platform/gnome/mutter_display_services.hpp"
#include "platform/gnome/mutter_virtual_displays.hpp"
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

// Two virtual monitors beside the headless one, through the display services the model uses.
TEST(MutterDisplayServices, PlacesMirrorsAndMakesMain) {
    auto first = MutterVirtualMonitor::create(sessionBus(), 1280, 720, 60);
    auto second = MutterVirtualMonitor::create(sessionBus(), 1280, 720, 60);
    const auto bus = sessionBus();
    MutterDisplayServices services(bus.get());
    const DisplayID headless = displayIDOf("Meta-0"), a = displayIDOf(first->connector()), b = displayIDOf(second->connector());
    EXPECT_EQ(services.mainDisplay(), headless);
    EXPECT_EQ(services.currentMode(a)->pixelWidth, 1280);
    const auto staged = [&](auto&& stage) {
        auto transaction = services.beginConfiguration();
        EXPECT_EQ(stage(*transaction), DisplayError::none);
        return transaction->complete();
    };
    // Mirroring: one logical monitor for both; the second follows the first.
    EXPECT_EQ(staged([&](auto& t) { return t.configureMirror(b, a); }), DisplayError::none);
    EXPECT_EQ(services.mirrorsDisplay(b), a);
    EXPECT_EQ(services.bounds(b), services.bounds(a));
    // Placed at the global origin, the first becomes main and the coordinates follow it;
    // the headless monitor it covered is pushed aside, its mirror comes along.
    EXPECT_EQ(staged([&](auto& t) { return t.configureOrigin(a, 0, 0); }), DisplayError::none);
    EXPECT_EQ(services.mainDisplay(), a);
    EXPECT_EQ(services.bounds(headless), (DisplayBounds{1280, 0, 1920, 1080}));
    EXPECT_EQ(services.bounds(b), (DisplayBounds{0, 0, 1280, 720}));
    // No longer mirrored, the second goes to the right of the others.
    EXPECT_EQ(staged([&](auto& t) { return t.configureMirror(b, nullDisplay); }), DisplayError::none);
    EXPECT_EQ(services.mirrorsDisplay(b), nullDisplay);
    EXPECT_EQ(services.bounds(b), (DisplayBounds{3200, 0, 1280, 720}));
    EXPECT_EQ(services.activeDisplays()->size(), 3u);
    // A layout mutter cannot make (the two apart) is refused, and nothing moves.
    EXPECT_EQ(staged([&](auto& t) { return t.configureOrigin(b, 5000, 5000); }), DisplayError::failure);
    EXPECT_EQ(services.bounds(b), (DisplayBounds{3200, 0, 1280, 720}));
}

// Through the ports: a HiDPI display at twice the points' pixels, its current picture
// captured at once, and gone with its object.
TEST(MutterVirtualDisplays, CreatesHiDPIDisplaysAndCapturesThem) {
    const auto bus = sessionBus();
    MutterDisplayServices services(bus.get());
    MutterVirtualDisplays displays(services);
    // Half of 1280 × 720 is below the smallest desktop mutter scales to.
    EXPECT_THROW(displays.create(1280, 720, 60, true, "Tavelin", "saved-1"), VirtualDisplayError);
    auto display = displays.create(1920, 1080, 60, true, "Tavelin", "saved-1");
    const DisplayID id = display->displayID();
    EXPECT_EQ(services.currentMode(id), (DisplayMode{services.currentMode(id)->id, 1920, 1080, 960, 540, 60}));
    EXPECT_EQ(services.bounds(id).width, 960);
    ASSERT_EQ(displays.shareableDisplays().size(), 1u);
    std::promise<std::pair<std::int64_t, std::int64_t>> first;
    auto stream = displays.start(displays.shareableDisplays()[0], {}, [&, once = std::make_shared<std::once_flag>()](const CapturedFrame& frame) {
        std::call_once(*once, [&] { first.set_value({frame.buffer->width, frame.buffer->stride}); });
    }, [](const std::string&) {});
    auto arrived = first.get_future();
    ASSERT_EQ(arrived.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(arrived.get(), (std::pair<std::int64_t, std::int64_t>(1920, 1920 * 4)));
    stream.reset();
    display.reset();
    EXPECT_FALSE(services.isOnline(id));
    EXPECT_TRUE(displays.shareableDisplays().empty());
}

} // namespace
} // namespace tavelin::gnome
