#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include "platform/gnome/mutter_display_services.hpp"
#include "platform/gnome/mutter_input.hpp"
#include "platform/gnome/mutter_virtual_displays.hpp"
#include "platform/gnome/mutter_virtual_monitor.hpp"

extern char** environ;

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

// A window of the test client fills the display; what it hears of the pointer is what a
// user's application would.
TEST(MutterInputPoster, MovesClicksAndScrollsOnTheDisplay) {
    const auto bus = sessionBus();
    MutterDisplayServices services(bus.get());
    MutterVirtualDisplays displays(services);
    MutterInputPoster input(services, displays);
    auto display = displays.create(1280, 720, 60, false, "Tavelin", "saved-1");
    const std::string connector = displays.live().begin()->second->connector();
    int output[2];
    ASSERT_EQ(pipe(output), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    const LogicalMonitor* place = services.state()->logicalMonitorOf(connector);
    ASSERT_NE(place, nullptr);
    std::string program = POINTER_CLIENT, x0 = std::to_string(place->x), y0 = std::to_string(place->y);
    char* argv[] = {program.data(), x0.data(), y0.data(), nullptr};
    pid_t client = -1;
    ASSERT_EQ(posix_spawn(&client, argv[0], &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(output[1]);
    // The next line the client prints, or "" after `ms`.
    std::string heard;
    const auto next = [&](int ms = 2000) {
        for (;;) {
            if (const auto end = heard.find('\n'); end != std::string::npos) {
                std::string line = heard.substr(0, end);
                heard.erase(0, end + 1);
                return line;
            }
            pollfd ready{output[0], POLLIN, 0};
            char chunk[256];
            const ssize_t got = poll(&ready, 1, ms) > 0 ? read(output[0], chunk, sizeof chunk) : 0;
            if (got <= 0) return std::string();
            heard.append(chunk, static_cast<std::size_t>(got));
        }
    };
    EXPECT_EQ(next(), "ready 1280 720");
    const DisplayBounds bounds = services.bounds(display->displayID());
    const auto event = [](MouseEventType type, int button, double x, double y, ModifierFlags flags = {}) {
        return MouseEvent{.type = type, .button = button, .x = x, .y = y, .flags = flags, .clickState = 1};
    };
    const double x = bounds.x + 320, y = bounds.y + 180;
    // The window is shown a moment after it says so: move until it hears the pointer there.
    std::string moved;
    for (int tries = 0; tries < 20 && moved != "motion 320 180"; ++tries) {
        ASSERT_TRUE(input.post(event(MouseEventType::moved, 0, x, y)));
        for (std::string line; moved != "motion 320 180" && !(line = next(200)).empty();) moved = line;
    }
    EXPECT_EQ(moved, "motion 320 180");
    // mutter makes the session's keyboard with its first key: a first click with Control
    // gives the client a keyboard to hear the next ones on.
    const ModifierFlags control{.control = true};
    ASSERT_TRUE(input.post(event(MouseEventType::rightDown, 2, x, y, control)));
    ASSERT_TRUE(input.post(event(MouseEventType::rightUp, 2, x, y, control)));
    for (std::string line; (line = next()) != "button 273 0";) ASSERT_FALSE(line.empty());
    for (std::string line; (line = next()) != "key 29 0";) ASSERT_FALSE(line.empty());
    ASSERT_TRUE(input.post(event(MouseEventType::leftDown, 0, x, y)));
    ASSERT_TRUE(input.post(event(MouseEventType::leftUp, 0, x, y)));
    ASSERT_TRUE(input.post(event(MouseEventType::rightDown, 2, x, y, control)));
    ASSERT_TRUE(input.post(event(MouseEventType::rightUp, 2, x, y, control)));
    ASSERT_TRUE(input.postScroll(x, y, 12, 0, {}));
    std::vector<std::string> lines;
    for (std::string line; lines.size() < 9 && !(line = next()).empty();) {
        if (!line.starts_with("motion")) lines.push_back(line);
    }
    // BTN_LEFT and BTN_RIGHT, the latter with KEY_LEFTCTRL held around each half of the
    // click; a scroll upwards is a negative vertical axis (0) on Wayland.
    EXPECT_EQ(lines, (std::vector<std::string>{"button 272 1", "button 272 0", "key 29 1", "button 273 1",
                                               "key 29 0", "key 29 1", "button 273 0", "key 29 0", "axis 0 -12"}));
    // Outside our displays Wayland lets us move nothing.
    EXPECT_FALSE(input.post(event(MouseEventType::moved, 0, bounds.x - 10, y)));
    kill(client, SIGTERM);
    waitpid(client, nullptr, 0);
    close(output[0]);
}

} // namespace
} // namespace tavelin::gnome
